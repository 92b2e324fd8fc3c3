#pragma once
// Where a run keeps its files: ~/Velkor3/config/.quillmar and ~/Velkor3/log/quillmar[..].html,
// and the removal of old log files. Plain functions, safe on any thread.
#include <cstdint>
#include <ctime>

#include <wx/string.h>

wxString config_directory(const wxString& home);          // home/Velkor3/config
wxString log_directory(const wxString& home);             // home/Velkor3/log
wxString settings_file_path(const wxString& config_dir);  // config_dir/.quillmar

// "quillmar[%u%u].html" of the time in seconds since 1970 (as a 32-bit unsigned number) and
// the process id, side by side.
wxString log_file_name(std::uint32_t seconds, unsigned long pid);

// Creates `dir` with every missing parent (mode 0777 before the umask); true when it exists
// afterwards.
bool ensure_directory(const wxString& dir);

// Logs older than this are removed at start; one exactly this old is kept.
inline constexpr std::time_t old_log_age_seconds = 604800;

// Deletes the files (not directories) of `dir` matching "quillmar[*].html" whose last
// modification lies more than old_log_age_seconds before `now`. Failures are ignored.
// Returns how many were deleted.
int remove_old_logs(const wxString& dir, std::time_t now);
