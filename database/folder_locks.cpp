#include "database/folder_locks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::vector<file_lock_holder> locks_on(const std::string& path) {
    std::vector<file_lock_holder> out;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return out;
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream table("/proc/locks");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        fields >> id >> kind;
        if (kind == "->") continue;  // a waiter, not a holder
        fields >> mode >> access >> pid >> where;
        if (where != device) continue;
        file_lock_holder holder;
        holder.type = kind == "OFDLCK" ? file_lock_holder::kind::open_file
                      : kind == "FLOCK" ? file_lock_holder::kind::whole_file
                                        : file_lock_holder::kind::posix;
        holder.write = access == "WRITE";
        holder.pid = static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
        out.push_back(holder);
    }
    return out;
}

folder_use recording_folder_use(const std::string& folder) {
    folder_use use = folder_use::none;
    for (const auto& holder : locks_on(folder + "/LOCK")) {
        if (holder.write) return folder_use::write;
        use = folder_use::read;
    }
    return use;
}

folder_read_hold::folder_read_hold(const std::string& folder) {
    const std::string lock_file = folder + "/LOCK";
    for (const auto& holder : locks_on(lock_file))
        if (holder.write) return;  // a writer has it, perhaps this very process
    fd_ = ::open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        held_ = errno == ENOENT;
        return;
    }
    struct flock request {};
    request.l_type = F_RDLCK;
    request.l_whence = SEEK_SET;
    held_ = ::fcntl(fd_, F_OFD_SETLK, &request) == 0;
}

folder_read_hold::~folder_read_hold() {
    if (fd_ >= 0) ::close(fd_);  // ends the hold with its open file description
}
