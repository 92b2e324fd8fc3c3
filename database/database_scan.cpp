#include "database/database_scan.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include <leveldb/db.h>
#include <leveldb/iterator.h>

#include "database/database_layout.h"
#include "database/database_reader.h"
#include "base/locale_text.h"

namespace fs = std::filesystem;

namespace {

fs::path narrow_path(const std::wstring& path) { return fs::path(to_narrow(path)); }

std::wstring wide_path(const fs::path& path) { return to_wide(path.native()); }

std::string base_of(const std::wstring& write_path) {
    std::error_code ec;
    fs::path base = narrow_path(write_path);
    fs::path absolute = fs::absolute(base, ec);
    if (!ec) base = absolute;
    std::string text = base.native();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

std::optional<bool> database_has_frames(const std::wstring& folder) {
    try {
        const std::unique_ptr<read_handle> handle = open_leveldb_read_only(to_narrow(folder));
        const std::unique_ptr<leveldb::Iterator> it(handle->db->NewIterator(leveldb::ReadOptions()));
        it->SeekToFirst();
        if (!it->status().ok()) return std::nullopt;
        return it->Valid() && is_frame_key(std::string_view(it->key().data(), it->key().size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::wstring unreadable_database_text(const std::wstring& folder, const std::string& what) {
    std::wstring name = folder;
    while (name.size() > 1 && name.back() == L'/') name.pop_back();
    if (const auto slash = name.rfind(L'/'); slash != std::wstring::npos) name.erase(0, slash + 1);
    if (database_has_frames(folder) == false) return L"База " + name + L": нет кадров";
    return L"База " + name + L": повреждена: " + to_wide(what);
}

std::wstring database_folder_path(const std::wstring& write_path, const std::wstring& name) {
    std::string base = base_of(write_path);
    if (base.empty() || base.back() != '/') base.push_back('/');
    return to_wide(base) + name;
}

bool scan_databases(const std::wstring& write_path, const scan_callbacks& callbacks, const std::atomic<bool>* cancel) {
    std::error_code ec;
    fs::directory_iterator it(narrow_path(write_path), ec);
    if (ec) return false;
    std::vector<std::wstring> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().native();
        if (name.empty() || name.front() == '.') continue;  // hidden
        std::error_code type_ec;
        if (!it->is_directory(type_ec)) continue;
        names.push_back(to_wide(name));
    }
    if (names.empty()) return false;

    for (const auto& name : names) {
        if (cancel && cancel->load()) break;
        const std::wstring folder = database_folder_path(write_path, name);
        ldb_info summary;
        try {
            bool counted = false;
            bool maintain = false;
            {
                // Read without writing; only the one-time maintenance below opens it for writing.
                database_reader reader(folder);
                summary = reader.summary(&counted);
                maintain = callbacks.settle_databases &&
                           (counted || reader.replayed_log() || reader.level0_at_compaction_trigger());
            }
            // A recording cut short has no "count"; counting it read every frame. A recording's
            // close leaves its last buffer in the log, which every read-only open replays again;
            // the writable open stores it as a table once. A medium that refuses the write
            // (read-only, full), or another reader holding the folder, leaves it for next time.
            if (maintain) {
                try {
                    database_reader writer(folder, database_reader::access::maintain);
                    if (counted)
                        writer.write_back_count(summary.count);
                    else if (writer.level0_at_compaction_trigger())
                        writer.settle();
                } catch (const std::exception&) {}
            }
        } catch (const std::exception& e) {
            if (callbacks.failed) callbacks.failed(folder, e.what());
            continue;
        }
        if (callbacks.found) callbacks.found(folder, summary);
    }
    return true;
}

std::optional<disk_space> disk_space_of(const std::wstring& path) {
    std::error_code ec;
    fs::space_info info = fs::space(narrow_path(path), ec);
    if (ec || info.capacity == static_cast<std::uintmax_t>(-1)) return std::nullopt;
    return disk_space{info.capacity, info.available};
}

std::wstring volume_of(const std::wstring& path) {
    std::error_code ec;
    fs::path current = fs::canonical(narrow_path(path), ec);
    if (ec) return path;
    struct stat st {};
    if (::stat(current.c_str(), &st) != 0) return path;
    const dev_t device = st.st_dev;
    // Climb while the parent is on the same file system: the last one is the mount point.
    while (current.has_parent_path() && current.parent_path() != current) {
        fs::path parent = current.parent_path();
        struct stat parent_st {};
        if (::stat(parent.c_str(), &parent_st) != 0 || parent_st.st_dev != device) break;
        current = parent;
    }
    return wide_path(current);
}

std::wstring make_disk_line(const std::wstring& volume, std::uint64_t total, std::uint64_t free) {
    constexpr std::uint64_t gib = 1073741824;
    return L"Диск: " + volume + L": Всего: " + std::to_wstring(total / gib) + L" GB Cвободно: " +
           std::to_wstring(free / gib) + L" GB";
}
