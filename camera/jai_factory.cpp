#include "camera/jai_factory.h"

#include "camera/camera_backend.h"

#include <wx/string.h>

#include <stdexcept>

jai_factory::jai_factory() : jai_factory(camera_backend_from_environment()) {}

jai_factory::jai_factory(std::shared_ptr<camera_backend> backend) : backend_(std::move(backend)) {
    if (J_Factory_Open(backend_, "", &handle_) != J_ST_SUCCESS) throw std::runtime_error("Не удалось открыть библиотеку камер.");
}

jai_factory::~jai_factory() {
    if (handle_) J_Factory_Close(handle_);
}

void jai_factory::reopen() {
    if (handle_) J_Factory_Close(handle_);
    handle_ = nullptr;
    if (J_Factory_Open(backend_, "", &handle_) != J_ST_SUCCESS) {
        handle_ = nullptr;
        throw std::runtime_error("Не удалось открыть библиотеку камер.");
    }
}

std::string jai_factory::sdk_version() const {
    char text[sdk_text_capacity] = {};
    std::uint32_t size = sizeof text;
    if (J_Factory_GetInfo(handle_, FAC_INFO_VERSION, text, &size) != J_ST_SUCCESS) return {};
    text[sizeof text - 1] = 0;
    return text;
}

std::wstring jai_factory::version_line() const { return L"JAI " + wxString(sdk_version().c_str()).ToStdWstring(); }
