#pragma once
// What the settings dialog refuses to store, as plain checks of the texts the operator typed,
// so the dialog stays thin and the rules are tested without a display.
//
// Refused, each with a Russian message naming the field and the value:
// - "Каталог" (`write_path`): empty, not a full path (recordings would land in whatever the
//   working directory is and vanish from the list), not a folder, or a folder this user cannot
//   write into; a folder that does not exist yet is fine when it can be created.
// - the three ports: anything but a whole number from 1 to 65535; the browser pages' port:
//   from 0 (off) to 65535;
// - "Период опроса (секунды)": anything but a whole number from 1 to 86400;
// - "Очередь записи, МБ": anything but a whole number from 64 to 16384;
// - "Масштаб линейки": anything but a number above 0 (a decimal point or comma);
// - "Порт ДПП": empty;
// - the depot's address: anything but an http:// or https:// URL (empty is fine: no upload);
//   its speed cap: anything but a whole number from 0 to 10000000; its secret key's file: a
//   name that is not an existing file's full path, or a file others may read (0600 needed).
// Every other key, and every text that passes, gives no message.
#include <optional>
#include <string>
#include <vector>

struct setting_text {
    std::wstring key;    // the settings key (settings_keys)
    std::wstring label;  // the field as the dialog shows it, e.g. "Сервер координат: Порт"
    std::wstring text;   // what the field holds
};

struct setting_refusal {
    std::wstring key;
    std::wstring message;
};

// The message for one field, or nothing when its text may be stored.
std::optional<std::wstring> refuse_setting(const setting_text& value);

// The first field refused, in the given order, or nothing.
std::optional<setting_refusal> first_refused_setting(const std::vector<setting_text>& values);

// Parses a number as the dialog's number fields accept it (surrounding blanks allowed).
std::optional<long> parse_whole_number(const std::wstring& text);
std::optional<double> parse_decimal_number(const std::wstring& text);

// A decimal number as the operator writes it: the shortest text that reads back the same,
// with the numeric locale's decimal separator, or a comma when the locale is the plain "C"
// one (the interface is Russian whatever the locale). The settings file keeps its point.
std::wstring decimal_text(double value);
