#include "app/app_paths.h"

#include <wx/dir.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/log.h>

#include <sys/stat.h>

wxString config_directory(const wxString& home) {
    wxFileName dir = wxFileName::DirName(home);
    dir.AppendDir("Velkor3");
    dir.AppendDir("config");
    return dir.GetPath();
}

wxString log_directory(const wxString& home) {
    wxFileName dir = wxFileName::DirName(home);
    dir.AppendDir("Velkor3");
    dir.AppendDir("log");
    return dir.GetPath();
}

wxString settings_file_path(const wxString& config_dir) { return wxFileName(config_dir, ".quillmar").GetFullPath(); }

wxString log_file_name(std::uint32_t seconds, unsigned long pid) {
    return wxString::Format("quillmar[%u%lu].html", static_cast<unsigned>(seconds), pid);
}

bool ensure_directory(const wxString& dir) {
    wxLogNull quiet;  // the caller reports a failure in its own words
    if (wxFileName::DirExists(dir)) return true;
    return wxFileName::Mkdir(dir, 0777, wxPATH_MKDIR_FULL);
}

int remove_old_logs(const wxString& dir, std::time_t now) {
    wxLogNull quiet;  // failures are ignored
    wxDir listing(dir);
    if (!listing.IsOpened()) return 0;
    int removed = 0;
    wxString name;
    // The brackets are taken literally by the file pattern, as they are in the name.
    for (bool more = listing.GetFirst(&name, "quillmar[*].html", wxDIR_FILES); more; more = listing.GetNext(&name)) {
        const wxString path = wxFileName(dir, name).GetFullPath();
        struct stat info {};
        if (::stat(path.fn_str(), &info) != 0) continue;
        if (now - info.st_mtime > old_log_age_seconds && wxRemoveFile(path)) ++removed;
    }
    return removed;
}
