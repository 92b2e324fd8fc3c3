#include "app/startup_report.h"

#include "app/build_info.h"
#include "settings/settings_keys.h"

#include <opencv2/core/version.hpp>

#include <wx/utils.h>
#include <wx/version.h>

#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>

wxString startup_version_line() {
    return wxString::Format(L"Начало работы. Версия: %s hash: %s", build_info::version(), build_info::revision());
}

wxString startup_opencv_line() { return wxString::Format("OpenCV %s", CV_VERSION); }

wxString startup_gui_line() { return wxString::Format("%s", wxVERSION_STRING); }

namespace {
// The first IPv4 address the host name resolves to (empty when it does not resolve).
wxString ipv4_of(const wxString& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.utf8_str(), nullptr, &hints, &found) != 0 || !found) return wxString();
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    return wxString(text);
}
}  // namespace

wxString startup_computer_line() {
    const wxString host = wxGetHostName();
    return wxString::Format(L"Компьютер: %s (%s)", host, ipv4_of(host));
}

wxString startup_os_line() { return wxString::Format(L"ОС: %s", wxGetOsDescription()); }

wxString startup_side_line(const settings_store& settings) {
    // The side recordings get: the stored one, or the default the settings dialog shows.
    return wxString::Format(L"Борт: %s", settings.read_text(settings_keys::side, settings_defaults::side));
}
