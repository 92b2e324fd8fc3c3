#include "base/error_text.h"

#include "base/locale_text.h"

#include <cerrno>

namespace {

const wchar_t* errno_text(int value) {
    switch (value) {
    case ENOENT: return L"нет такого файла или устройства";
    case EACCES:
    case EPERM: return L"нет доступа";
    case EBUSY: return L"устройство занято";
    case ENXIO:
    case ENODEV: return L"устройство не найдено";
    case EIO: return L"ошибка ввода-вывода";
    case ENOSPC: return L"нет места на диске";
    case EMFILE:
    case ENFILE: return L"слишком много открытых файлов";
    case ECONNREFUSED: return L"соединение отклонено";
    case ECONNRESET: return L"соединение сброшено другой стороной";
    case EPIPE: return L"соединение разорвано";
    case ECONNABORTED: return L"соединение прервано";
    case ETIMEDOUT: return L"время ожидания истекло";
    case EHOSTUNREACH: return L"узел недоступен";
    case ENETUNREACH: return L"сеть недоступна";
    case EADDRINUSE: return L"адрес уже используется";
    case EADDRNOTAVAIL: return L"адрес недоступен";
    case ECANCELED: return L"операция отменена";
    default: return nullptr;
    }
}

}  // namespace

std::wstring error_text(int value, std::string_view category, const std::string& message) {
    if (category == "system" || category == "generic") {
        if (const wchar_t* text = errno_text(value)) return text;
    } else if (category == "asio.misc") {
        // The values of boost::asio::error::misc_errors.
        if (value == 2) return L"соединение закрыто другой стороной";
        if (value == 1) return L"уже открыто";
    } else if (category == "asio.netdb") {
        if (value == 1) return L"адрес не найден";
        if (value == 2) return L"адрес не найден (нет ответа сервера имён)";
    }
    return to_wide(message);
}
