#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "database/durable_env.h"
#include "tests/support/temp_home.h"

namespace {

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

// Files written through the environment are handed to the kernel for writing out on a thread
// of their own, through a second descriptor of each file: the bytes stay exactly as written,
// and every descriptor is closed once its file and the environment are gone, also when the
// file is removed (through the environment, which frees its blocks on that thread too) before
// its write-outs ran.
TEST(DurableEnv, WritesOutWithoutChangingTheFileOrKeepingDescriptors) {
    test_support::temp_dir dir;
    const std::size_t before = open_descriptors();
    std::string written;
    {
        durable_env env(leveldb::Env::Default());
        for (const char* name : {"000001.log", "000002.ldb"}) {
            const std::string path = (dir.path() / name).string();
            leveldb::WritableFile* file = nullptr;
            ASSERT_TRUE(env.NewWritableFile(path, &file).ok());
            written.clear();
            for (int i = 0; i < 24; ++i) {  // 6 MB, flushed every 256 KB
                const std::string block(256 << 10, static_cast<char>('a' + i));
                ASSERT_TRUE(file->Append(block).ok());
                ASSERT_TRUE(file->Flush().ok());
                written += block;
            }
            ASSERT_TRUE(file->Sync().ok());
            ASSERT_TRUE(file->Close().ok());
            delete file;
        }
        ASSERT_TRUE(env.RemoveFile((dir.path() / "000001.log").string()).ok());
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "000001.log"));
        EXPECT_TRUE(env.RemoveFile((dir.path() / "000001.log").string()).IsNotFound());
    }
    std::ifstream in(dir.path() / "000002.ldb", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == written);
    EXPECT_EQ(open_descriptors(), before + 1);  // the stream above
}

// A sync asked for drops the synced log pages from the page cache, but never the page the
// writer appends to next: the next append would have to read it back from a busy disk.
TEST(DurableEnv, ASyncAskedForKeepsTheLogPageBeingAppendedTo) {
    test_support::temp_dir dir;
    const std::string path = (dir.path() / "000003.log").string();
    const long page = ::sysconf(_SC_PAGESIZE);
    durable_env env(leveldb::Env::Default());
    leveldb::WritableFile* raw = nullptr;
    ASSERT_TRUE(env.NewWritableFile(path, &raw).ok());
    std::unique_ptr<leveldb::WritableFile> file(raw);
    ASSERT_TRUE(file->Append(std::string(3 * page + 100, 'x')).ok());
    ASSERT_TRUE(file->Flush().ok());
    ASSERT_TRUE(env.wait_logs_synced(env.sync_logs_later()).ok());

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* map = ::mmap(nullptr, 4 * page, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    unsigned char resident[4] = {};
    ASSERT_EQ(::mincore(map, 4 * page, resident), 0);
    EXPECT_TRUE(resident[3] & 1) << "the page being appended to was dropped";
    ::munmap(map, 4 * page);
    ::close(fd);
    ASSERT_TRUE(file->Close().ok());
}

// LevelDB's background work (compactions) runs below the recording step's CPU priority.
TEST(DurableEnv, BackgroundWorkRunsAtALowerPriority) {
    durable_env env(leveldb::Env::Default());
    struct probe {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<int> nice;
    } p;
    env.Schedule(
        [](void* arg) {
            auto& p = *static_cast<probe*>(arg);
            errno = 0;
            const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
            std::lock_guard<std::mutex> lock(p.mutex);
            p.nice = errno == 0 ? nice : -100;
            p.done.notify_all();
        },
        &p);
    std::unique_lock<std::mutex> lock(p.mutex);
    ASSERT_TRUE(p.done.wait_for(lock, std::chrono::seconds(10), [&] { return p.nice.has_value(); }));
    EXPECT_GE(*p.nice, 10);
}
