// Toolkit log messages (e.g. a settings file that cannot be written) go to standard error in
// tests instead of into message boxes that nobody closes.
#include <gtest/gtest.h>

#include <wx/log.h>

namespace {
class stderr_log_environment : public ::testing::Environment {
public:
    void SetUp() override { delete wxLog::SetActiveTarget(new wxLogStderr); }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new stderr_log_environment);
}  // namespace
