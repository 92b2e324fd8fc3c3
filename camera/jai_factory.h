#pragma once
// The camera SDK factory that the main window keeps open for its whole life.
//
// Ownership: shares the camera backend it was given (every handle opened from the factory is
// served by it, and keeps it alive while open); closes the factory on destruction.
// Errors: std::runtime_error with "Не удалось открыть библиотеку камер." when the factory cannot be
// opened (at construction or on reopen). Thread safety: use from the GUI thread only.
#include "camera/jai_sdk.h"

#include <memory>
#include <string>

class jai_factory {
public:
    // The backend the environment asks for (camera_backend_from_environment()).
    jai_factory();
    explicit jai_factory(std::shared_ptr<camera_backend> backend);
    ~jai_factory();
    jai_factory(const jai_factory&) = delete;
    jai_factory& operator=(const jai_factory&) = delete;

    FACTORY_HANDLE handle() const { return handle_; }
    const std::shared_ptr<camera_backend>& backend() const { return backend_; }

    // Closes the factory and opens it again with an empty name (enumeration does this), on
    // the same backend.
    void reopen();

    // The SDK's version text (factory information item 0); empty when it cannot be read.
    std::string sdk_version() const;

    // The start-up log line "JAI %s" with the version text.
    std::wstring version_line() const;

private:
    std::shared_ptr<camera_backend> backend_;
    FACTORY_HANDLE handle_ = nullptr;
};
