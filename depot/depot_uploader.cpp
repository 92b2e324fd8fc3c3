#include "depot/depot_uploader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include "base/locale_text.h"
#include "base/thread_name.h"
#include "database/folder_locks.h"

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

// What the thread knows of each recording; touched by the thread alone.
struct depot_uploader_state {
    struct entry {
        depot_status status;
        bool reported = false;
        int failures = 0;
        clock_type::time_point next_try{};
    };
    std::map<std::string, entry> recordings;
    clock_type::time_point paused_until{};
};

namespace {

std::string unquote(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    return text;
}

bool is_recording(const fs::path& dir) {
    const std::string name = dir.filename().string();
    std::error_code ec;
    return !name.empty() && name[0] != '.' && fs::is_directory(dir, ec) && fs::is_regular_file(dir / "CURRENT", ec);
}

std::string folder_name(const std::string& folder) {
    fs::path p(folder);
    if (p.filename().empty()) p = p.parent_path();
    return p.filename().string();
}

}  // namespace

std::string depot_status_text(const depot_status& status) {
    switch (status.state) {
    case depot_status::kind::none: return "—";
    case depot_status::kind::queued: return "в очереди";
    case depot_status::kind::uploading: return "выгружается " + std::to_string(status.percent) + " %";
    case depot_status::kind::in_depot: return "в депо";
    case depot_status::kind::failed: return "ошибка: " + status.reason;
    }
    return "—";
}

bool depot_holds_recording(s3_client& client, const std::string& manifest_key, const std::string& folder,
                           std::uint64_t part_size, std::string& reason) {
    std::string json;
    const s3_result got = client.get_bytes(manifest_key, json, 4u << 20);
    if (!got.ok()) {
        reason = got.error == s3_error::no_object ? "нет описи " + manifest_key + " в депо" : got.reason;
        return false;
    }
    recording_manifest manifest;
    if (!manifest_from_json(json, manifest)) {
        reason = "опись " + manifest_key + " повреждена";
        return false;
    }
    if (manifest.folder != folder_name(folder)) {
        reason = "опись " + manifest_key + " от другой записи";
        return false;
    }
    // Every local file must be named, or deleting the folder would lose it.
    std::set<std::string> local;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file()) local.insert(e.path().filename().string());
    if (ec) {
        reason = "не удалось прочитать папку " + folder;
        return false;
    }
    std::set<std::string> named;
    for (const auto& f : manifest.files) named.insert(f.name);
    if (named != local) {
        reason = "опись " + manifest_key + " не называет все файлы записи";
        return false;
    }
    const std::string keys = manifest_key.substr(0, manifest_key.size() - std::string("manifest.json").size());
    for (const auto& f : manifest.files) {
        const std::string path = (fs::path(folder) / f.name).string();
        const std::uint64_t size = fs::file_size(path, ec);
        const upload_checksums local = ec ? upload_checksums{} : file_upload_checksums(path, part_size);
        if (ec || size != f.size || local.sha256 != f.sha256) {
            reason = "файл " + f.name + " записи не совпадает с описью";
            return false;
        }
        const s3_result head = client.head(keys + f.name);
        if (!head.ok()) {
            reason = head.error == s3_error::no_object ? "нет объекта " + f.name + " в депо" : head.reason;
            return false;
        }
        auto length = head.headers.find("content-length");
        auto sum = head.headers.find("x-amz-meta-sha256");
        auto etag = head.headers.find("etag");
        if (length == head.headers.end() || std::strtoull(length->second.c_str(), nullptr, 10) != size ||
            sum == head.headers.end() || sum->second != f.sha256 || etag == head.headers.end() ||
            unquote(etag->second) != local.etag) {
            reason = "объект " + f.name + " в депо не совпадает с файлом записи";
            return false;
        }
    }
    return true;
}

depot_uploader::depot_uploader(depot_uploader_config config)
    : config_(std::move(config)), state_(std::make_unique<depot_uploader_state>()) {
    if (!config_.make_client)
        config_.make_client = [this](const depot_settings& s) {
            s3_config c = s.client_config();
            c.cancelled = [this] { return should_yield(); };  // stop() never waits for a slow part
            return std::make_unique<s3_client>(std::move(c));
        };
}

depot_uploader::~depot_uploader() { stop(); }

void depot_uploader::start() {
    if (started_) return;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void depot_uploader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool depot_uploader::stop_requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

bool depot_uploader::should_yield() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ || disabled_;
}

void depot_uploader::recording_closed(const std::string&) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void depot_uploader::set_settings(const depot_settings& settings) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_settings_ = settings;
        settings_changed_ = true;
        disabled_ = !settings.enabled;
        woken_ = true;
    }
    wake_.notify_all();
}

void depot_uploader::set_write_path(const std::string& write_path) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_write_path_ = write_path;
        woken_ = true;
    }
    wake_.notify_all();
}

// False when stopping.
bool depot_uploader::wait_for_work(clock_type::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, until, [&] { return stop_ || woken_; });
    woken_ = false;
    return !stop_;
}

void depot_uploader::run() {
    name_this_thread("qm-depot");
    // Recording must keep the processor and the disk; the depot can wait.
    yield_this_thread_to(10);
    while (!stop_requested()) {
        pass();
        auto until = clock_type::now() + config_.scan_every;
        for (const auto& [name, e] : state_->recordings)
            if (e.status.state == depot_status::kind::failed && e.next_try > clock_type::now())
                until = std::min(until, e.next_try);
        if (state_->paused_until > clock_type::now()) until = std::max(until, state_->paused_until);
        if (!wait_for_work(until)) break;
    }
}

void depot_uploader::pass() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (settings_changed_) {
            config_.settings = pending_settings_;
            settings_changed_ = false;
            state_->paused_until = {};
        }
        if (!pending_write_path_.empty()) {
            if (pending_write_path_ != config_.write_path) state_->recordings.clear();
            config_.write_path = std::move(pending_write_path_);
            pending_write_path_.clear();
        }
    }
    const auto now = clock_type::now();
    if (!config_.settings.enabled || state_->paused_until > now) return;

    auto set_status = [&](const std::string& name, depot_status s) {
        auto& e = state_->recordings[name];
        if (e.reported && e.status == s) return;
        e.status = std::move(s);
        e.reported = true;
        if (config_.status) config_.status(name, e.status);
    };
    auto log = [&](const std::string& row, bool error) {
        if (config_.log) config_.log(row, error);
    };

    // Folder names are the recordings' start times, so name order is age order.
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(config_.write_path, ec))
        if (is_recording(e.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    for (auto it = state_->recordings.begin(); it != state_->recordings.end();)
        it = std::binary_search(names.begin(), names.end(), it->first) ? std::next(it) : state_->recordings.erase(it);

    // The LevelDB lock tells a recording being written in any process, this one included, from
    // the moment its folder is a database; the callback adds what only the owner knows.
    auto writing = [&](const std::string& name) {
        return recording_folder_use((fs::path(config_.write_path) / name).string()) == folder_use::write ||
               (config_.being_written && config_.being_written(name));
    };
    for (const auto& name : names) {
        if (writing(name)) {
            set_status(name, {});
        } else if (!state_->recordings[name].reported) {
            set_status(name, {depot_status::kind::queued, 0, {}});
        }
    }

    const depot_settings settings = config_.settings;
    const std::string where = settings.endpoint + "/" + settings.bucket;
    const fs::path marks = fs::path(config_.write_path) / ".depot";
    std::unique_ptr<s3_client> client;

    for (const auto& name : names) {
        if (stop_requested()) return;
        auto& e = state_->recordings[name];
        if (writing(name) || (e.status.state == depot_status::kind::in_depot && !settings.delete_when_safe)) continue;
        if (e.status.state == depot_status::kind::failed && e.next_try > clock_type::now()) continue;
        if (!client) client = config_.make_client(settings);
        const fs::path folder = fs::path(config_.write_path) / name;
        const fs::path mark = marks / (name + ".done");

        std::string manifest_key, json;
        bool known = false;
        {
            std::ifstream in(mark, std::ios::binary);
            if (in && std::getline(in, manifest_key)) {
                json.assign(std::istreambuf_iterator<char>(in), {});
                const s3_result head = client->head(manifest_key);
                auto length = head.headers.find("content-length");
                auto etag = head.headers.find("etag");
                known = head.ok() && length != head.headers.end() && etag != head.headers.end() &&
                        std::strtoull(length->second.c_str(), nullptr, 10) == json.size() &&
                        unquote(etag->second) == bytes_md5(json);
            }
        }

        if (!known) {
            // A state file left by an earlier run (a dropped link, a kill) means the store holds
            // part of it already: the operator sees the upload go on, not start again.
            const bool resumed = fs::exists(marks / (name + ".state"), ec);
            log(std::string(resumed ? "Депо: выгрузка продолжена: " : "Депо: выгрузка начата: ") + name + " → " + where,
                false);
            set_status(name, {depot_status::kind::uploading, 0, {}});
            depot_options options = config_.push;
            const auto user_cancelled = config_.push.cancelled;
            options.cancelled = [this, user_cancelled] {
                return should_yield() || (user_cancelled && user_cancelled());
            };
            int shown = 0;
            options.progress = [&](const depot_progress& p) {
                const int percent = p.total ? static_cast<int>(std::min<std::uint64_t>(99, p.done * 100 / p.total)) : 0;
                if (percent > shown) {
                    shown = percent;
                    set_status(name, {depot_status::kind::uploading, percent, {}});
                }
                if (config_.push.progress) config_.push.progress(p);
            };
            const auto began = clock_type::now();
            const depot_outcome outcome = push_recording(*client, settings.prefix, folder.string(), options);
            if (outcome.cancelled || (!outcome.ok && should_yield())) {
                set_status(name, {depot_status::kind::queued, 0, {}});
                return;
            }
            if (!outcome.ok) {
                log("Депо: ошибка выгрузки " + name + ": " + outcome.reason, true);
                set_status(name, {depot_status::kind::failed, 0, outcome.reason});
                if (outcome.error == s3_error::credentials || outcome.error == s3_error::no_bucket) {
                    // Every other recording would be refused too: wait for new settings.
                    state_->paused_until = clock_type::now() + config_.refused_pause;
                    return;
                }
                e.failures = std::min(e.failures + 1, 20);
                auto delay = config_.retry_first;
                for (int i = 1; i < e.failures && delay < config_.retry_most; ++i) delay *= 2;
                e.next_try = clock_type::now() + std::min(delay, config_.retry_most);
                continue;
            }
            e.failures = 0;
            manifest_key = recording_key_prefix(settings.prefix, outcome.manifest.side, name) + "manifest.json";
            json = manifest_to_json(outcome.manifest);
            fs::create_directories(marks, ec);
            {
                std::ofstream out(mark.string() + ".new", std::ios::binary | std::ios::trunc);
                out << manifest_key << '\n' << json;
            }
            fs::rename(mark.string() + ".new", mark, ec);
            std::uint64_t bytes = 0;
            for (const auto& f : outcome.manifest.files) bytes += f.size;
            const double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
            int parts = 0;
            for (const auto& f : outcome.manifest.files)
                if (f.size > options.part_size)
                    parts += static_cast<int>((f.size + options.part_size - 1) / options.part_size);
            const std::string sent =
                resumed && parts ? "; частей отправлено: " + std::to_string(outcome.parts_sent) + " из " + std::to_string(parts)
                                 : std::string();
            log("Депо: выгружено и проверено: " + name + " (" + to_narrow(one_decimal(bytes / 1048576.0)) + " МБ за " +
                    to_narrow(one_decimal(seconds)) + " с" + sent + ")",
                false);
        }
        set_status(name, {depot_status::kind::in_depot, 0, {}});

        if (settings.delete_when_safe && !stop_requested()) {
            std::string reason;
            bool proven = false;
            {
                const folder_read_hold hold(folder.string());  // the files stay as they are checked
                if (!hold.held()) continue;
                proven = depot_holds_recording(*client, manifest_key, folder.string(), config_.push.part_size, reason);
            }
            if (!proven) {
                log("Депо: запись " + name + " не удалена на вагоне: " + reason, true);
                // Not proven: upload again later (push_recording sends only what is missing).
                fs::remove(mark, ec);
                set_status(name, {depot_status::kind::failed, 0, reason});
                e.next_try = clock_type::now() + config_.retry_most;
                continue;
            }
            // Nobody may have it open: not the recorder, nor a viewer or a service reading it.
            if (writing(name) || recording_folder_use(folder.string()) != folder_use::none) continue;
            fs::remove_all(folder, ec);
            if (ec) {
                log("Депо: не удалось удалить " + name + " на вагоне: " + ec.message(), true);
                continue;
            }
            fs::remove(mark, ec);
            log("Депо: удалено на вагоне после проверки: " + name, false);
            state_->recordings.erase(name);
        }
    }
}
