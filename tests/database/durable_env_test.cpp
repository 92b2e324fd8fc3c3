#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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
// file is deleted before its write-outs ran.
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
        std::filesystem::remove(dir.path() / "000001.log");
    }
    std::ifstream in(dir.path() / "000002.ldb", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == written);
    EXPECT_EQ(open_descriptors(), before + 1);  // the stream above
}
