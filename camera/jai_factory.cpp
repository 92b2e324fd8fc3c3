#include "camera/jai_factory.h"

#include <wx/string.h>

#include <stdexcept>

jai_factory::jai_factory() {
    if (J_Factory_Open("", &handle_) != J_ST_SUCCESS) throw std::runtime_error("Error opening JAI factory.");
}

jai_factory::~jai_factory() {
    if (handle_) J_Factory_Close(handle_);
}

void jai_factory::reopen() {
    if (handle_) J_Factory_Close(handle_);
    handle_ = nullptr;
    if (J_Factory_Open("", &handle_) != J_ST_SUCCESS) {
        handle_ = nullptr;
        throw std::runtime_error("Error opening JAI factory.");
    }
}

std::string jai_factory::sdk_version() const {
    char text[512] = {};
    std::uint32_t size = sizeof text;
    if (J_Factory_GetInfo(FAC_INFO_VERSION, text, &size) != J_ST_SUCCESS) return {};
    text[sizeof text - 1] = 0;
    return text;
}

std::wstring jai_factory::version_line() const {
    return L"JAI " + wxString(sdk_version().c_str()).ToStdWstring();
}
