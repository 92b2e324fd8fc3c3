#include "settings/settings_check.h"

#include "settings/settings_keys.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <system_error>

#include <unistd.h>

#include <wx/string.h>

namespace {

namespace fs = std::filesystem;

std::wstring trimmed(const std::wstring& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

bool writable_folder(const fs::path& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

fs::path as_path(const std::wstring& text) {
    const wxString kept(text);  // the buffer may point into it
    const wxScopedCharBuffer bytes = kept.mb_str(wxConvLibc);
    return fs::path(std::string(bytes.data(), bytes.length()));
}

std::optional<std::wstring> refuse_folder(const setting_text& value) {
    const std::wstring text = trimmed(value.text);
    if (text.empty()) return L"Не указан каталог для записи (поле " + quoted(value.label) + L")";
    const fs::path folder = as_path(text);
    if (folder.empty() || !folder.is_absolute())
        return L"Каталог для записи " + quoted(text) + L" должен быть указан полным путем, от корня (\"/\")";
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) return quoted(text) + L" не является каталогом";
        if (!writable_folder(folder)) return L"Нет права записи в каталог " + quoted(text);
        return std::nullopt;
    }
    // Created at the first recording: the nearest folder that exists must let us create it.
    fs::path parent = folder.parent_path();
    while (!parent.empty() && !fs::exists(fs::status(parent, ec))) {
        if (parent == parent.parent_path()) break;
        parent = parent.parent_path();
    }
    if (parent.empty() || !fs::is_directory(fs::status(parent, ec)) || !writable_folder(parent))
        return L"Каталог " + quoted(text) + L" не существует и не может быть создан";
    return std::nullopt;
}

std::optional<std::wstring> refuse_range(const setting_text& value, long low, long high) {
    const auto number = parse_whole_number(value.text);
    if (number && *number >= low && *number <= high) return std::nullopt;
    return L"Значение " + quoted(trimmed(value.text)) + L" поля " + quoted(value.label) +
           L" должно быть целым числом от " + std::to_wstring(low) + L" до " + std::to_wstring(high);
}

std::optional<std::wstring> refuse_endpoint(const setting_text& value) {
    const std::wstring text = trimmed(value.text);
    if (text.empty()) return std::nullopt;  // upload stays off until it is set
    for (const std::wstring scheme : {L"http://", L"https://"})
        if (text.rfind(scheme, 0) == 0 && text.size() > scheme.size() && text.find_first_of(L" \t") == std::wstring::npos)
            return std::nullopt;
    return L"Адрес депо " + quoted(text) + L" (поле " + quoted(value.label) +
           L") должен начинаться с http:// или https:// и называть сервер";
}

// Refused here rather than at the first upload: the operator is at the dialog now.
std::optional<std::wstring> refuse_secret_file(const setting_text& value) {
    const std::wstring text = trimmed(value.text);
    if (text.empty()) return std::nullopt;
    const fs::path file = as_path(text);
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (!file.is_absolute() || !fs::is_regular_file(status))
        return L"Нет файла ключа депо " + quoted(text) + L" (поле " + quoted(value.label) + L")";
    using fs::perms;
    if ((status.permissions() & (perms::group_all | perms::others_all)) != perms::none)
        return L"Файл ключа депо " + quoted(text) + L" доступен не только владельцу: нужны права 0600 (chmod 600)";
    return std::nullopt;
}

}  // namespace

std::optional<long> parse_whole_number(const std::wstring& text) {
    const std::wstring t = trimmed(text);
    if (t.empty() || t.size() > 18) return std::nullopt;
    std::size_t i = (t[0] == L'-' || t[0] == L'+') ? 1 : 0;
    if (i == t.size()) return std::nullopt;
    long n = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < L'0' || t[i] > L'9') return std::nullopt;
        n = n * 10 + (t[i] - L'0');
    }
    return t[0] == L'-' ? -n : n;
}

std::optional<double> parse_decimal_number(const std::wstring& text) {
    std::wstring t = trimmed(text);
    if (t.empty() || t.size() > 40) return std::nullopt;
    for (auto& c : t) {
        if (c == L',') c = L'.';
        // Digits, one sign, the point and an exponent only: no "inf", "nan" or hex.
        if (!std::iswdigit(c) && c != L'.' && c != L'-' && c != L'+' && c != L'e' && c != L'E') return std::nullopt;
    }
    double value = 0;
    if (!wxString(t).ToCDouble(&value) || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::wstring decimal_text(double value) {
    std::wstring text = wxString::FromCDouble(value).ToStdWstring();
    wchar_t separator = L',';
    const char* numeric = std::setlocale(LC_NUMERIC, nullptr);
    const std::string name = numeric ? numeric : "C";
    if (name != "C" && name != "POSIX" && name.rfind("C.", 0) != 0) {
        const char* point = std::localeconv()->decimal_point;
        if (point && (point[0] == '.' || point[0] == ',') && point[1] == 0) separator = static_cast<wchar_t>(point[0]);
    }
    for (auto& c : text)
        if (c == L'.') c = separator;
    return text;
}

std::optional<std::wstring> refuse_setting(const setting_text& value) {
    namespace k = settings_keys;
    const wxString key(value.key);
    if (key == k::write_path) return refuse_folder(value);
    if (key == k::coordinate_server_port || key == k::data_service_port || key == k::rc_service_port)
        return refuse_range(value, 1, 65535);
    if (key == k::coordinate_server_query_period) return refuse_range(value, 1, 86400);
    if (key == k::record_queue_mb)
        return refuse_range(value, settings_defaults::record_queue_mb_least, settings_defaults::record_queue_mb_most);
    if (key == k::scale) {
        const auto number = parse_decimal_number(value.text);
        if (number && *number > 0) return std::nullopt;
        return L"Значение " + quoted(trimmed(value.text)) + L" поля " + quoted(value.label) +
               L" должно быть числом больше нуля";
    }
    if (key == k::web_service_port) return refuse_range(value, 0, 65535);  // 0: the pages are off
    if (key == k::depot_endpoint) return refuse_endpoint(value);
    if (key == k::depot_max_kbps) return refuse_range(value, 0, 10000000);
    if (key == k::depot_secret_file) return refuse_secret_file(value);
    if (key == k::dpp_port && trimmed(value.text).empty())
        return L"Не указан последовательный порт ДПП (поле " + quoted(value.label) + L")";
    return std::nullopt;
}

std::optional<setting_refusal> first_refused_setting(const std::vector<setting_text>& values) {
    for (const auto& value : values)
        if (auto message = refuse_setting(value)) return setting_refusal{value.key, *message};
    return std::nullopt;
}
