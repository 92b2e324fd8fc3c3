#pragma once
// Stream buffers that carry the wide standard streams into the log pane and file.
//
// Installed by log_viewer into std::wcout (ui_redirector_cout) and std::wcerr
// (ui_redirector_cerr) for as long as the pane exists. They keep no stream buffer: every
// character reaches overflow(), which gathers it into the current line and hands each
// complete line to a line receiver (the log_viewer). Whole lines, not single characters, reach
// the pane and the file, so a row costs the same whatever the log's length.
// Not thread-safe: the wide standard streams are written on the GUI thread only.
#include <functional>
#include <streambuf>
#include <string>

class ui_redirector : public std::wstreambuf {
public:
    using line_receiver = std::function<void(const std::wstring&)>;
    explicit ui_redirector(line_receiver receiver) : receiver_(std::move(receiver)) {}
    ~ui_redirector() override;

protected:
    int_type overflow(int_type c) override;

private:
    line_receiver receiver_;
    std::wstring line_;
};

class ui_redirector_cout : public ui_redirector {
public:
    using ui_redirector::ui_redirector;
};

class ui_redirector_cerr : public ui_redirector {
public:
    using ui_redirector::ui_redirector;
};
