#pragma once
// folder_locks: the locks held on a file, from the kernel's lock table (/proc/locks), read
// without opening the file. A process holding a classic (POSIX) lock loses it as soon as any
// of its descriptors of that file is closed, so opening a recording's LOCK just to ask would
// end the recorder's own lock on it.
//
// Plain functions; thread-safe. A file that does not exist, or a table that cannot be read,
// gives no locks.
#include <string>
#include <sys/types.h>
#include <vector>

struct file_lock_holder {
    enum class kind { posix, open_file, whole_file };  // fcntl, fcntl F_OFD_*, flock
    kind type = kind::posix;
    bool write = false;
    pid_t pid = 0;  // -1 for open-file-description locks (no owning process)
};

std::vector<file_lock_holder> locks_on(const std::string& path);

// A recording folder's state as its LevelDB LOCK says: a writer (the recorder, in this or
// another process) holds it exclusively; readers share it.
enum class folder_use { none, read, write };
folder_use recording_folder_use(const std::string& folder);

// A reader's hold on a recording folder, as the readers of the list and the viewer take it: a
// shared lock on its LOCK that keeps any writer out (LevelDB's open for writing fails while it
// is held, in this process and in others) for as long as the object lives. Taken only when
// no writer holds the folder: never when this process writes it (opening LOCK and closing it
// again would end the writer's own lock). A folder without LOCK (copied without it) is held
// trivially. Not copyable; one thread.
class folder_read_hold {
public:
    explicit folder_read_hold(const std::string& folder);
    ~folder_read_hold();
    folder_read_hold(const folder_read_hold&) = delete;
    folder_read_hold& operator=(const folder_read_hold&) = delete;

    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};
