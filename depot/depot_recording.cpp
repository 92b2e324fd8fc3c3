#include "depot/depot_recording.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "base/locale_text.h"
#include "base/thread_name.h"
#include "database/database_reader.h"
#include "database/folder_locks.h"

namespace fs = std::filesystem;

namespace {

// ---- JSON: written by us, read back bounded -------------------------------------------

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct json_value {
    enum class kind { null, number, string, array, object } type = kind::null;
    std::string text;  // number's digits or string's value
    std::vector<json_value> items;
    std::vector<std::pair<std::string, json_value>> members;
    const json_value* get(const std::string& name) const {
        for (const auto& [key, value] : members)
            if (key == name) return &value;
        return nullptr;
    }
};

class json_reader {
public:
    explicit json_reader(const std::string& text) : s_(text) {}
    bool parse(json_value& out) {
        if (!value(out, 0)) return false;
        skip();
        return at_ == s_.size();
    }

private:
    void skip() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t')) ++at_;
    }
    bool eat(char c) {
        skip();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool string(std::string& out) {
        if (!eat('"')) return false;
        while (at_ < s_.size()) {
            const char c = s_[at_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size()) return false;
            const char e = s_[at_++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (s_.size() - at_ < 4) return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const char h = s_[at_++];
                    code <<= 4;
                    if (h >= '0' && h <= '9') code |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f') code |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F') code |= static_cast<unsigned>(h - 'A' + 10);
                    else return false;
                }
                // Only what we write: control characters and the basic plane.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xc0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3f));
                } else {
                    out += static_cast<char>(0xe0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
                    out += static_cast<char>(0x80 | (code & 0x3f));
                }
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool value(json_value& out, int depth) {
        if (depth > 8) return false;
        skip();
        if (at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == '"') {
            out.type = json_value::kind::string;
            return string(out.text);
        }
        if (c == '{') {
            ++at_;
            out.type = json_value::kind::object;
            if (eat('}')) return true;
            do {
                std::string key;
                json_value member;
                if (!string(key) || !eat(':') || !value(member, depth + 1)) return false;
                out.members.emplace_back(std::move(key), std::move(member));
            } while (eat(','));
            return eat('}');
        }
        if (c == '[') {
            ++at_;
            out.type = json_value::kind::array;
            if (eat(']')) return true;
            do {
                json_value item;
                if (!value(item, depth + 1)) return false;
                out.items.push_back(std::move(item));
            } while (eat(','));
            return eat(']');
        }
        if (c >= '0' && c <= '9') {
            out.type = json_value::kind::number;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9' && out.text.size() < 20) out.text += s_[at_++];
            return at_ >= s_.size() || !(s_[at_] >= '0' && s_[at_] <= '9');
        }
        if (s_.compare(at_, 4, "null") == 0) {
            at_ += 4;
            return true;
        }
        return false;
    }

    const std::string& s_;
    std::size_t at_ = 0;
};

bool read_number(const json_value* v, std::uint64_t& out, std::uint64_t most) {
    if (!v || v->type != json_value::kind::number || v->text.empty()) return false;
    errno = 0;
    const unsigned long long n = std::strtoull(v->text.c_str(), nullptr, 10);
    if (errno || n > most) return false;
    out = n;
    return true;
}

bool read_text(const json_value* v, std::string& out) {
    if (!v || v->type != json_value::kind::string) return false;
    out = v->text;
    return true;
}

// ---- hashing ------------------------------------------------------------------------------

std::string hex(const unsigned char* bytes, unsigned n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string digest(const EVP_MD* md, const std::string& path, std::uint64_t offset, std::uint64_t length) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!ctx || !in || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return {};
    if (fseeko(in.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return {};
    std::vector<char> buffer(1 << 20);
    std::uint64_t left = length;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left));
        const std::size_t n = std::fread(buffer.data(), 1, want, in.get());
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), n);
        left -= n;
    }
    if (std::ferror(in.get()) || (length != UINT64_MAX && left != 0)) return {};
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &n) != 1) return {};
    return hex(out, n);
}

// What an upload needs of one file before sending it: the SHA-256 of the whole file and the MD5
// of each part_size part (the ETag the store must answer for it; a file of at most part_size
// bytes is one part, its MD5 the single PUT's ETag), in one read.
struct file_digests {
    std::uint64_t size = 0;             // the size they were taken at
    std::string sha256;                 // empty when not taken or unreadable
    std::vector<std::string> part_md5;  // none for an empty file
};

file_digests digest_file(const std::string& path, std::uint64_t size, std::uint64_t part_size,
                         const std::atomic<bool>& stop) {
    file_digests out;
    out.size = size;
    using ctx_ptr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
    ctx_ptr sha(EVP_MD_CTX_new(), EVP_MD_CTX_free), md5(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!sha || !md5 || !in || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) return out;
    const bool parts = size > 0;
    std::vector<char> buffer(1 << 20);
    std::uint64_t at = 0, part_left = 0;
    unsigned char digest_bytes[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    while (at < size) {
        if (stop) return out;
        if (parts && part_left == 0) {
            if (EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr) != 1) return out;
            part_left = std::min(part_size, size - at);
        }
        std::uint64_t want = std::min<std::uint64_t>(buffer.size(), size - at);
        if (parts) want = std::min(want, part_left);
        const std::size_t got = std::fread(buffer.data(), 1, static_cast<std::size_t>(want), in.get());
        if (got == 0) return {size, {}, {}};  // shorter than listed, or unreadable
        EVP_DigestUpdate(sha.get(), buffer.data(), got);
        at += got;
        if (parts) {
            EVP_DigestUpdate(md5.get(), buffer.data(), got);
            part_left -= got;
            if (part_left == 0) {
                if (EVP_DigestFinal_ex(md5.get(), digest_bytes, &n) != 1) return {size, {}, {}};
                out.part_md5.push_back(hex(digest_bytes, n));
            }
        }
    }
    if (EVP_DigestFinal_ex(sha.get(), digest_bytes, &n) != 1) return {size, {}, {}};
    out.sha256 = hex(digest_bytes, n);
    return out;
}

// Takes the digests of the recording's files on a thread of its own, a file or two ahead of
// the upload, so hashing overlaps the sending instead of adding to it. The thread inherits
// its creator's priority (the depot thread's low one). Owned by push_recording: the destructor
// stops and joins it. Files marked skip (already verified by the state file) are not read.
class digest_ahead {
public:
    struct job {
        std::string path;
        std::uint64_t size = 0;
        bool skip = false;
    };
    digest_ahead(std::vector<job> jobs, std::uint64_t part_size)
        : jobs_(std::move(jobs)), part_size_(part_size), done_(jobs_.size()) {
        thread_ = std::thread([this] { run(); });
    }
    ~digest_ahead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopping_ = true;
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    digest_ahead(const digest_ahead&) = delete;
    digest_ahead& operator=(const digest_ahead&) = delete;

    // The digests of job i (empty ones for a skipped file); waits for them. Called in job order.
    file_digests take(std::size_t i) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return done_[i].has_value(); });
        taken_ = i + 1;
        changed_.notify_all();
        return std::move(*done_[i]);
    }

private:
    // How many files may be hashed ahead of the one being sent.
    static constexpr std::size_t lead = 2;

    void run() {
        name_this_thread("qm-depot-hash");
        for (std::size_t i = 0; i < jobs_.size(); ++i) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || i < taken_ + lead; });
                if (stop_) return;
            }
            file_digests d;
            d.size = jobs_[i].size;
            if (!jobs_[i].skip) d = digest_file(jobs_[i].path, jobs_[i].size, part_size_, stopping_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) return;
                done_[i] = std::move(d);
            }
            changed_.notify_all();
        }
    }

    const std::vector<job> jobs_;
    const std::uint64_t part_size_;
    std::mutex mutex_;
    std::condition_variable changed_;             // a file hashed, a file taken, or stop
    std::vector<std::optional<file_digests>> done_;  // guarded by mutex_
    std::size_t taken_ = 0;                       // guarded by mutex_: files handed to the upload
    bool stop_ = false;                           // guarded by mutex_
    std::atomic<bool> stopping_{false};           // stop_'s copy the hashing polls between reads
    std::thread thread_;                          // last: started once the rest is in place
};

// ---- the local state file -----------------------------------------------------------------

struct verified_file {
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    std::string sha256;
};

struct upload_state {
    std::string path;
    std::map<std::string, std::string> uploads;  // file -> upload id
    std::map<std::string, verified_file> verified;

    void load() {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string what, name;
            words >> what >> name;
            if (what == "upload") {
                std::string id;
                if (words >> id) uploads[name] = id;
            } else if (what == "verified") {
                verified_file v;
                if (words >> v.size >> v.mtime >> v.sha256) verified[name] = v;
            }
        }
    }
    // Written whole to a new file and renamed over the old, so a crash leaves one or the other.
    void save() const {
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        const std::string temporary = path + ".new";
        {
            std::ofstream out(temporary, std::ios::trunc);
            for (const auto& [name, id] : uploads) out << "upload " << name << ' ' << id << '\n';
            for (const auto& [name, v] : verified)
                out << "verified " << name << ' ' << v.size << ' ' << v.mtime << ' ' << v.sha256 << '\n';
            out.flush();
            if (!out) return;  // the state is a help, not a must: the store's word decides
        }
        fs::rename(temporary, path, ec);
    }
};

std::int64_t mtime_ns(const fs::path& file) {
    std::error_code ec;
    const auto t = fs::last_write_time(file, ec);
    return ec ? 0 : static_cast<std::int64_t>(t.time_since_epoch().count());
}

std::string host_name() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
    return buffer;
}

// Runs one request with capped, doubling waits between tries of transient failures.
class retrier {
public:
    retrier(const depot_options& options, depot_outcome& outcome) : options_(options), outcome_(outcome) {}

    template <class F>
    s3_result run(F&& request) {
        auto delay = options_.backoff_first;
        for (int attempt = 1;; ++attempt) {
            if (cancelled()) return cancelled_result();
            s3_result result = request();
            if (result.ok() || !result.retryable() || attempt >= options_.attempts) return result;
            ++outcome_.retries;
            wait(delay);
            delay = std::min(delay * 2, options_.backoff_most);
        }
    }
    bool cancelled() const { return options_.cancelled && options_.cancelled(); }

private:
    static s3_result cancelled_result() {
        s3_result r;
        r.error = s3_error::other;
        r.reason = "выгрузка в депо прервана";
        return r;
    }
    void wait(std::chrono::milliseconds delay) const {
        if (options_.wait) {
            options_.wait(delay);
            return;
        }
        const auto until = std::chrono::steady_clock::now() + delay;
        while (std::chrono::steady_clock::now() < until && !cancelled())
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(100), until - std::chrono::steady_clock::now()));
    }

    const depot_options& options_;
    depot_outcome& outcome_;
};

depot_outcome fail(depot_outcome outcome, const s3_result& result, bool cancelled) {
    outcome.ok = false;
    outcome.cancelled = cancelled;
    outcome.error = result.error;
    outcome.reason = result.reason;
    return outcome;
}

depot_outcome fail_local(depot_outcome outcome, const std::string& reason) {
    outcome.ok = false;
    outcome.error = s3_error::local;
    outcome.reason = reason;
    return outcome;
}

// True when the object is there with this size and checksum.
bool object_matches(const s3_result& head, std::uint64_t size, const std::string& sha256) {
    if (!head.ok()) return false;
    auto length = head.headers.find("content-length");
    auto sum = head.headers.find("x-amz-meta-sha256");
    return length != head.headers.end() && sum != head.headers.end() &&
           std::strtoull(length->second.c_str(), nullptr, 10) == size && sum->second == sha256;
}

}  // namespace

std::string manifest_to_json(const recording_manifest& m) {
    std::string out = "{\n";
    out += "  \"folder\": " + json_string(m.folder) + ",\n";
    out += "  \"side\": " + json_string(m.side) + ",\n";
    out += "  \"session\": " + json_string(m.session) + ",\n";
    out += "  \"host\": " + json_string(m.host) + ",\n";
    out += "  \"frame_count\": " + std::to_string(m.frame_count) + ",\n";
    out += "  \"first_count\": " + std::to_string(m.first_count) + ",\n";
    out += "  \"last_count\": " + std::to_string(m.last_count) + ",\n";
    out += "  \"files\": [";
    for (std::size_t i = 0; i < m.files.size(); ++i) {
        const auto& f = m.files[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"name\": " + json_string(f.name) + ", \"size\": " + std::to_string(f.size) +
               ", \"sha256\": " + json_string(f.sha256) + "}";
    }
    out += "\n  ]\n}\n";
    return out;
}

bool manifest_from_json(const std::string& json, recording_manifest& manifest) {
    json_value root;
    if (json.size() > (4u << 20) || !json_reader(json).parse(root) || root.type != json_value::kind::object) return false;
    recording_manifest m;
    std::uint64_t first = 0, last = 0;
    if (!read_text(root.get("folder"), m.folder) || !read_text(root.get("side"), m.side) ||
        !read_text(root.get("session"), m.session) || !read_text(root.get("host"), m.host) ||
        !read_number(root.get("frame_count"), m.frame_count, UINT64_MAX) ||
        !read_number(root.get("first_count"), first, UINT32_MAX) ||
        !read_number(root.get("last_count"), last, UINT32_MAX))
        return false;
    m.first_count = static_cast<std::uint32_t>(first);
    m.last_count = static_cast<std::uint32_t>(last);
    const json_value* files = root.get("files");
    if (!files || files->type != json_value::kind::array) return false;
    for (const auto& item : files->items) {
        manifest_file f;
        if (!read_text(item.get("name"), f.name) || !read_number(item.get("size"), f.size, UINT64_MAX) ||
            !read_text(item.get("sha256"), f.sha256))
            return false;
        // A name is one file of one folder: nothing that climbs out of it on a pull.
        if (f.name.empty() || f.name == "." || f.name == ".." || f.name.find('/') != std::string::npos ||
            f.name == "manifest.json")
            return false;
        m.files.push_back(std::move(f));
    }
    if (m.folder.empty() || m.folder.find('/') != std::string::npos || m.folder == "..") return false;
    manifest = std::move(m);
    return true;
}

std::string recording_key_prefix(const std::string& prefix, const std::string& side, const std::string& folder) {
    return (prefix.empty() ? "" : prefix + "/") + side + "/" + folder + "/";
}

std::string file_sha256(const std::string& path) { return digest(EVP_sha256(), path, 0, UINT64_MAX); }

std::string file_range_md5(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    return digest(EVP_md5(), path, offset, length);
}

std::string bytes_md5(const std::string& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &n, EVP_md5(), nullptr) != 1) return {};
    return hex(out, n);
}

upload_checksums file_upload_checksums(const std::string& path, std::uint64_t part_size) {
    std::error_code ec;
    const std::uint64_t size = fs::file_size(path, ec);
    if (ec) return {};
    const std::atomic<bool> never{false};
    const file_digests d = digest_file(path, size, part_size, never);
    if (d.sha256.empty()) return {};
    if (size <= part_size) return {d.sha256, size == 0 ? bytes_md5({}) : d.part_md5.front()};
    // A multipart object's ETag: the MD5 of its parts' binary MD5s, and how many there were.
    std::string joined;
    for (const auto& md5 : d.part_md5)
        for (std::size_t i = 0; i + 1 < md5.size(); i += 2)
            joined += static_cast<char>(std::stoi(md5.substr(i, 2), nullptr, 16));
    return {d.sha256, bytes_md5(joined) + "-" + std::to_string(d.part_md5.size())};
}

depot_outcome push_recording(s3_client& client, const std::string& prefix, const std::string& folder,
                             const depot_options& options) {
    depot_outcome outcome;
    const fs::path dir = fs::absolute(fs::path(folder)).lexically_normal();
    const std::string name = (dir.filename().empty() ? dir.parent_path() : dir).filename().string();
    const fs::path root = dir.filename().empty() ? dir.parent_path() : dir;

    // Held for the whole upload: no writer (the list's one-time upkeep of a recording, an edit
    // of its side or code) may change the files between their listing, hashing and sending,
    // or the depot would hold a mix of two states under one manifest.
    const folder_read_hold hold(root.string());
    if (!hold.held()) return fail_local(outcome, "запись " + root.string() + " открыта для записи");

    // The recording's figures, as every tool reads them.
    recording_manifest& m = outcome.manifest;
    try {
        database_reader reader(root.wstring());
        const ldb_info info = reader.summary();
        m.session = encode_utf8(info.session);  // keys and manifests are UTF-8 whatever the locale
        m.side = encode_utf8(info.side);
        m.frame_count = info.count;
        m.first_count = info.dpp_start;
        m.last_count = info.dpp_end;
    } catch (const std::exception& e) {
        return fail_local(outcome, "не удалось прочитать запись " + root.string() + ": " + e.what());
    }
    m.folder = name;
    m.host = host_name();
    if (m.side.empty()) m.side = "нет данных";
    const std::string keys = recording_key_prefix(prefix, m.side, name);

    upload_state state;
    state.path = (options.state_dir.empty() ? (root.parent_path() / ".depot").string() : options.state_dir) + "/" +
                 name + ".state";
    state.load();

    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    if (ec) return fail_local(outcome, "не удалось прочитать папку " + root.string());
    std::sort(files.begin(), files.end());

    std::uint64_t total = 0, done = 0;
    for (const auto& f : files) total += fs::file_size(f, ec);
    auto report = [&](const std::string& file) {
        if (options.progress) options.progress({file, done, total});
    };

    std::vector<digest_ahead::job> jobs;
    for (const auto& path : files) {
        const std::string file = path.filename().string();
        const std::uint64_t size = fs::file_size(path, ec);
        auto known = state.verified.find(file);
        jobs.push_back({path.string(), size,
                        known != state.verified.end() && known->second.size == size &&
                            known->second.mtime == mtime_ns(path)});
    }
    digest_ahead digests(std::move(jobs), options.part_size);

    // One listing instead of a HEAD per file: a key the store does not list is not there (a
    // listing that lags behind costs an upload that was not needed, never a file left out).
    // Without a listing, every file is asked for by HEAD.
    std::vector<s3_object> listed;
    const bool have_listing = client.list(keys, listed).ok();
    std::sort(listed.begin(), listed.end(), [](const s3_object& a, const s3_object& b) { return a.key < b.key; });
    auto may_be_there = [&](const std::string& key) {
        return !have_listing || std::binary_search(listed.begin(), listed.end(), s3_object{key, 0},
                                                   [](const s3_object& a, const s3_object& b) { return a.key < b.key; });
    };

    retrier retry(options, outcome);
    for (std::size_t index = 0; index < files.size(); ++index) {
        const fs::path& path = files[index];
        const std::string file = path.filename().string();
        const std::string key = keys + file;
        file_digests taken = digests.take(index);
        const std::uint64_t size = fs::file_size(path, ec);
        if (ec) return fail_local(outcome, "не удалось прочитать файл " + path.string());
        const std::int64_t mtime = mtime_ns(path);
        // Digests taken at another size are of another file: take them again here.
        if (taken.size != size) taken = {};

        std::string sha;
        auto known = state.verified.find(file);
        if (known != state.verified.end() && known->second.size == size && known->second.mtime == mtime)
            sha = known->second.sha256;
        else
            sha = taken.sha256.empty() ? file_sha256(path.string()) : taken.sha256;
        if (sha.empty()) return fail_local(outcome, "не удалось прочитать файл " + path.string());
        m.files.push_back({file, size, sha});
        const std::map<std::string, std::string> meta{{"sha256", sha}};

        // Already there and right (from an earlier run, with or without our state)?
        s3_result head;
        if (may_be_there(key)) {
            head = retry.run([&] { return client.head(key); });
        } else {
            head.error = s3_error::no_object;
        }
        if (object_matches(head, size, sha)) {
            state.verified[file] = {size, mtime, sha};
            state.uploads.erase(file);
            state.save();
            done += size;
            report(file);
            continue;
        }
        if (!head.ok() && head.error != s3_error::no_object) return fail(outcome, head, retry.cancelled());

        if (size <= options.part_size) {
            s3_result put = retry.run([&] { return client.put_file(key, path.string(), 0, size, meta); });
            if (!put.ok()) return fail(outcome, put, retry.cancelled());
            ++outcome.objects_sent;
        } else {
            std::string upload_id = state.uploads.count(file) ? state.uploads[file] : std::string();
            std::vector<s3_part> confirmed;
            if (!upload_id.empty()) {
                s3_result listed = retry.run([&] { return client.list_parts(key, upload_id, confirmed); });
                if (listed.error == s3_error::no_object) {
                    upload_id.clear();  // the store forgot it (aborted or expired): start a new one
                    confirmed.clear();
                } else if (!listed.ok()) {
                    return fail(outcome, listed, retry.cancelled());
                }
            }
            if (upload_id.empty()) {
                s3_result created = retry.run([&] { return client.create_multipart(key, meta, upload_id); });
                if (!created.ok()) return fail(outcome, created, retry.cancelled());
                state.uploads[file] = upload_id;
                state.save();
            }
            const int count = static_cast<int>((size + options.part_size - 1) / options.part_size);
            std::vector<s3_part> parts;
            for (int number = 1; number <= count; ++number) {
                const std::uint64_t offset = static_cast<std::uint64_t>(number - 1) * options.part_size;
                const std::uint64_t length = std::min(options.part_size, size - offset);
                const std::string md5 = taken.part_md5.size() == static_cast<std::size_t>(count)
                                            ? taken.part_md5[static_cast<std::size_t>(number - 1)]
                                            : file_range_md5(path.string(), offset, length);
                if (md5.empty()) return fail_local(outcome, "не удалось прочитать файл " + path.string());
                auto found = std::find_if(confirmed.begin(), confirmed.end(),
                                          [&](const s3_part& p) { return p.number == number; });
                if (found != confirmed.end() && found->size == length && found->etag == md5) {
                    parts.push_back(*found);
                } else {
                    std::string etag;
                    s3_result sent = retry.run([&] {
                        return client.upload_part(key, upload_id, number, path.string(), offset, length, etag);
                    });
                    if (!sent.ok()) return fail(outcome, sent, retry.cancelled());
                    if (!etag.empty() && etag != md5) {
                        s3_result bad;
                        bad.error = s3_error::other;
                        bad.reason = "депо приняло часть " + std::to_string(number) + " файла " + file + " искажённой";
                        return fail(outcome, bad, false);
                    }
                    ++outcome.parts_sent;
                    parts.push_back({number, length, md5});
                    if (options.part_sent) options.part_sent(file, number);
                }
                done += length;
                report(file);
                done -= length;  // counted whole below, once the object is verified
            }
            s3_result completed = retry.run([&] { return client.complete_multipart(key, upload_id, parts); });
            if (!completed.ok()) {
                // After a lost answer the object may be assembled already; the HEAD below decides.
                if (!completed.retryable() && completed.error != s3_error::no_object)
                    return fail(outcome, completed, retry.cancelled());
            }
        }
        head = retry.run([&] { return client.head(key); });
        if (!object_matches(head, size, sha)) {
            if (!head.ok() && head.error != s3_error::no_object) return fail(outcome, head, retry.cancelled());
            s3_result bad;
            bad.error = s3_error::other;
            bad.reason = "объект " + key + " в депо не совпадает с файлом записи";
            return fail(outcome, bad, false);
        }
        state.verified[file] = {size, mtime, sha};
        state.uploads.erase(file);
        state.save();
        done += size;
        report(file);
    }

    // The manifest goes last: its presence says every object before it is in place.
    const std::string json = manifest_to_json(m);
    const std::string manifest_key = keys + "manifest.json";
    s3_result put = retry.run([&] { return client.put_bytes(manifest_key, json, {}); });
    if (!put.ok()) return fail(outcome, put, retry.cancelled());
    std::string back;
    s3_result got = retry.run([&] { return client.get_bytes(manifest_key, back, 4u << 20); });
    if (!got.ok()) return fail(outcome, got, retry.cancelled());
    if (back != json) {
        s3_result bad;
        bad.error = s3_error::other;
        bad.reason = "опись " + manifest_key + " в депо не совпадает с записанной";
        return fail(outcome, bad, false);
    }
    fs::remove(state.path, ec);
    outcome.ok = true;
    return outcome;
}

s3_result list_depot(s3_client& client, const std::string& prefix, bool deep, std::vector<depot_entry>& out) {
    out.clear();
    std::vector<s3_object> objects;
    s3_result listed = client.list(prefix.empty() ? std::string() : prefix + "/", objects);
    if (!listed.ok()) return listed;
    std::map<std::string, std::uint64_t> sizes;
    for (const auto& o : objects) sizes[o.key] = o.size;
    const std::string suffix = "/manifest.json";
    for (const auto& o : objects) {
        if (o.key.size() <= suffix.size() || o.key.compare(o.key.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        depot_entry entry;
        entry.key_prefix = o.key.substr(0, o.key.size() - suffix.size() + 1);
        std::string json;
        s3_result got = client.get_bytes(o.key, json, 4u << 20);
        if (!got.ok()) {
            if (got.error == s3_error::credentials || got.error == s3_error::no_bucket || got.retryable()) return got;
            entry.problem = got.reason;
        } else if (!manifest_from_json(json, entry.manifest)) {
            entry.problem = "опись " + o.key + " повреждена";
        } else {
            entry.whole = true;
            for (const auto& f : entry.manifest.files) {
                const std::string key = entry.key_prefix + f.name;
                auto there = sizes.find(key);
                if (there == sizes.end()) {
                    entry.whole = false;
                    entry.problem = "нет объекта " + f.name;
                    break;
                }
                if (there->second != f.size) {
                    entry.whole = false;
                    entry.problem = "размер объекта " + f.name + " не совпадает с описью";
                    break;
                }
                if (deep) {
                    s3_result head = client.head(key);
                    if (head.retryable() || head.error == s3_error::credentials) return head;
                    if (!object_matches(head, f.size, f.sha256)) {
                        entry.whole = false;
                        entry.problem = "контрольная сумма объекта " + f.name + " не совпадает с описью";
                        break;
                    }
                }
            }
        }
        out.push_back(std::move(entry));
    }
    return listed;
}

depot_outcome pull_recording(s3_client& client, const std::string& prefix, const std::string& name,
                             const std::string& out_dir, const depot_options& options) {
    depot_outcome outcome;
    retrier retry(options, outcome);
    std::vector<depot_entry> entries;
    s3_result listed = retry.run([&] { return list_depot(client, prefix, false, entries); });
    if (!listed.ok()) return fail(outcome, listed, retry.cancelled());
    const depot_entry* chosen = nullptr;
    int matches = 0;
    for (const auto& e : entries) {
        const std::string& folder = e.manifest.folder;
        if (folder.empty()) continue;
        if (name == folder || name == e.manifest.side + "/" + folder) {
            chosen = &e;
            ++matches;
        }
    }
    if (!chosen) return fail_local(outcome, "нет записи " + name + " в депо");
    if (matches > 1) return fail_local(outcome, "в депо несколько записей " + name + ": укажите сторону/папку");
    if (!chosen->whole) return fail_local(outcome, "запись " + name + " в депо неполна: " + chosen->problem);
    outcome.manifest = chosen->manifest;

    const fs::path target = fs::path(out_dir) / chosen->manifest.folder;
    const fs::path partial = fs::path(out_dir) / (chosen->manifest.folder + ".part");
    std::error_code ec;
    if (fs::exists(target, ec)) return fail_local(outcome, "папка " + target.string() + " уже есть");
    fs::remove_all(partial, ec);
    if (!fs::create_directories(partial, ec) || ec)
        return fail_local(outcome, "не удалось создать папку " + partial.string());
    std::uint64_t total = 0, done = 0;
    for (const auto& f : chosen->manifest.files) total += f.size;
    for (const auto& f : chosen->manifest.files) {
        const std::string path = (partial / f.name).string();
        s3_result got = retry.run([&] { return client.get_to_file(chosen->key_prefix + f.name, path); });
        if (!got.ok()) {
            fs::remove_all(partial, ec);
            return fail(outcome, got, retry.cancelled());
        }
        if (fs::file_size(path, ec) != f.size || file_sha256(path) != f.sha256) {
            fs::remove_all(partial, ec);
            return fail_local(outcome, "файл " + f.name + " из депо не совпадает с описью");
        }
        done += f.size;
        if (options.progress) options.progress({f.name, done, total});
    }
    fs::rename(partial, target, ec);
    if (ec) return fail_local(outcome, "не удалось переименовать " + partial.string());
    outcome.ok = true;
    return outcome;
}
