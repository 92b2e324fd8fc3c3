// Toolkit log messages (e.g. a settings file that cannot be written) go to standard error in
// tests instead of into message boxes that nobody closes.
#include <gtest/gtest.h>

#include <wx/log.h>

#include <cstdlib>

namespace {
class stderr_log_environment : public ::testing::Environment {
public:
    void SetUp() override {
        delete wxLog::SetActiveTarget(new wxLogStderr);
        // Discovery on a port of the system's choice, for windows made here and programs started.
        ::setenv("QUILLMAR_DISCOVERY_PORT", "0", 1);
    }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new stderr_log_environment);
}  // namespace
