// Named frame lookup through database_registry (session and odometer count) against a bare
// LevelDB open + seek + read + decode of the same frame, in one 5,000-frame database.
// Options: --frames N (default 5000), --lookups N (default 300), --width, --height
// (default 640 x 480; the lookup cost is dominated by opening, which the frame size barely
// changes, and this keeps the database build short).
#include <cstdio>
#include <random>

#include <leveldb/db.h>

#include "bench/database_bench_util.h"
#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/database_reader.h"
#include "database/database_registry.h"
#include "database/recording_database.h"

int main(int argc, char** argv) {
    const auto [frames, width, height] = bench_db::frame_run_options(argc, argv, {5000, 640, 480});
    const int lookups = static_cast<int>(bench_db::option(argc, argv, "--lookups", 300));
    bench_db::scratch dir;
    const auto path = dir.path() / "2024.05.01 12.30.45";
    bench_db::record_strip(path, width, height, frames, 2);
    ldb_info info = database_reader(path.wstring()).summary();
    database_registry registry;
    registry.add(info, path.wstring());
    std::printf("database: %d frames of %d x %d, %.1f MB stored\n", frames, width, height, info.size / 1048576.0);

    std::mt19937 random(1);
    std::vector<std::uint32_t> counts(static_cast<std::size_t>(lookups));
    for (auto& c : counts) c = random() % (10u * static_cast<std::uint32_t>(frames));

    std::size_t check = 0;
    auto named = [&] {
        auto start = std::chrono::steady_clock::now();
        for (auto c : counts) check += registry.frame_lookup(L"12 : 34", c).total();
        return bench_db::seconds_since(start) / lookups;
    };
    auto bare = [&] {
        auto start = std::chrono::steady_clock::now();
        for (auto c : counts) {
            auto db = open_leveldb(path.string(), false);
            std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
            it->Seek(make_frame_key(c));
            leveldb::Slice v = it->value();
            check += decode_frame(std::string_view(v.data(), v.size())).total();
        }
        return bench_db::seconds_since(start) / lookups;
    };
    bare();  // warm the page cache for both
    double t_bare = bare();
    double t_named = named();
    double t_bare2 = bare();
    double t_named2 = named();
    t_bare = std::min(t_bare, t_bare2);
    t_named = std::min(t_named, t_named2);
    std::printf("bare open+seek+read+decode: %.3f ms per frame\n", t_bare * 1e3);
    std::printf("named lookup (registry):    %.3f ms per frame\n", t_named * 1e3);
    std::printf("named / bare = %.3f (goal <= 1.2)   [check %zu]\n", t_named / t_bare, check);
    return 0;
}
