#include "log/ui_redirector.h"

// A last line without its end is dropped: its receiver is being destroyed with us.
ui_redirector::~ui_redirector() = default;

ui_redirector::int_type ui_redirector::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const wchar_t ch = traits_type::to_char_type(c);
    if (ch == L'\n') {
        std::wstring line;
        line.swap(line_);
        if (receiver_) receiver_(line);
    } else {
        line_ += ch;
    }
    return c;
}
