#include "net/http_routes.h"

#include <algorithm>

#include <sys/mman.h>
#include <unistd.h>

#include "base/locale_text.h"
#include "net/http_names.h"
#include "net/web_bundle.h"
#include "net/web_json.h"
#include "net/web_service.h"
#include "settings/settings_keys.h"

namespace http = boost::beast::http;

namespace {

// Beast of this Boost speaks boost::string_view.
std::string_view std_view(boost::beast::string_view v) { return {v.data(), v.size()}; }
boost::beast::string_view beast_view(std::string_view v) { return {v.data(), v.size()}; }

constexpr const char* json_type = "application/json; charset=utf-8";
constexpr const char* text_type = "text/plain; charset=utf-8";
constexpr std::size_t counts_kept = 8;  // recordings whose frame counts stay in memory

constexpr std::size_t frames_kept_bytes = 64 * 1024 * 1024;
// However small the frames: the lookup is a walk, and each holds a descriptor.
constexpr std::size_t frames_kept = 256;

web_response make(const web_request& request, http::status status, std::string_view type,
                  std::shared_ptr<const std::string> body) {
    web_response r{status, request.version()};
    r.keep_alive(request.keep_alive());
    r.set(http::field::content_type, beast_view(type));
    r.body().bytes = std::move(body);
    r.prepare_payload();
    return r;
}

web_response make(const web_request& request, http::status status, std::string_view type,
                  shared_body::value_type body) {
    web_response r{status, request.version()};
    r.keep_alive(request.keep_alive());
    r.set(http::field::content_type, beast_view(type));
    r.body() = std::move(body);
    r.prepare_payload();
    return r;
}

web_response make(const web_request& request, http::status status, std::string_view type, std::string body) {
    return make(request, status, type, std::make_shared<const std::string>(std::move(body)));
}

web_response text(const web_request& request, http::status status, const std::wstring& words) {
    auto r = make(request, status, text_type, encode_utf8(words) + "\n");
    r.set(http::field::cache_control, "no-store");
    return r;
}

constexpr std::string_view forever = "public, max-age=31536000, immutable";

// The key, and what tells this recording from a later one of the same folder name.
std::string frame_etag(const registry_entry& entry, std::uint32_t count) {
    return "\"" +
           fnv_hex(encode_utf8(entry.path) + "|" + encode_utf8(entry.info.time_start) + "|" +
                   std::to_string(entry.info.dpp_start)) +
           "-" + std::to_string(count) + "\"";
}

// A HEAD answer: the same header, without the body it describes.
void finish_head(const web_request& request, web_response& r) {
    if (request.method() != http::verb::head) return;
    const std::uint64_t length = shared_body::size(r.body());
    r.body() = {};
    r.content_length(length);
}

web_response not_found(const web_request& request) { return text(request, http::status::not_found, L"Не найдено"); }

// If-None-Match lists the validator (or says "*").
bool matches(const web_request& request, const std::string& etag) {
    const std::string_view given = std_view(request[http::field::if_none_match]);
    if (given.empty()) return false;
    if (given == "*") return true;
    return given.find(etag) != std::string_view::npos;
}

web_response not_modified(const web_request& request, const std::string& etag, std::string_view cache) {
    web_response r{http::status::not_modified, request.version()};
    r.keep_alive(request.keep_alive());
    r.set(http::field::etag, etag);
    r.set(http::field::cache_control, beast_view(cache));
    return r;
}

// The path without its query, split at '/' (the segments still percent-encoded).
std::vector<std::string_view> segments_of(std::string_view target) {
    target = target.substr(0, target.find('?'));
    target = target.substr(0, target.find('#'));
    std::vector<std::string_view> out;
    std::size_t at = 0;
    if (!target.empty() && target.front() == '/') at = 1;
    while (at <= target.size()) {
        const std::size_t slash = target.find('/', at);
        const std::size_t end = slash == std::string_view::npos ? target.size() : slash;
        out.push_back(target.substr(at, end - at));
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    // "/recordings/" is "/recordings".
    if (out.size() > 1 && out.back().empty()) out.pop_back();
    return out;
}

std::string_view path_of(const web_request& request) {
    const std::string_view target = std_view(request.target());
    return target.substr(0, target.find('?'));
}

}  // namespace

std::shared_ptr<const memory_file> memory_file::make(std::string_view bytes) {
    const int fd = ::memfd_create("qm-web-frame", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0) {
            ::close(fd);
            return nullptr;
        }
        written += static_cast<std::size_t>(n);
    }
    return std::shared_ptr<const memory_file>(new memory_file(fd, bytes.size()));
}

memory_file::~memory_file() { ::close(fd_); }

bool web_routes::is_event_stream(const web_request& request) {
    return request.method() == http::verb::get && path_of(request) == "/api/events";
}

bool web_routes::needs_worker(const web_request& request) {
    const std::string_view path = path_of(request);
    return path.rfind("/api/recordings", 0) == 0 || path.rfind("/recordings/", 0) == 0;
}

bool web_routes::same_token(std::string_view given, std::string_view set) {
    // Every byte of the longer one is looked at, whatever differs where.
    const std::size_t n = std::max(given.size(), set.size());
    unsigned difference = given.size() == set.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0u;
        const unsigned b = i < set.size() ? static_cast<unsigned char>(set[i]) : 0u;
        difference |= a ^ b;
    }
    return difference == 0 && !set.empty();
}

std::string web_routes::recordings_now() const { return recordings_json(c_.registry.snapshot()); }

std::optional<registry_entry> web_routes::find_folder(const std::wstring& name) {
    std::lock_guard<std::mutex> hold(index_mutex_);
    const std::uint64_t generation = c_.feed.recordings_generation();
    auto it = index_.find(name);
    // A miss may be a recording listed since the last word of a change: look again then.
    if (generation != index_generation_ || it == index_.end()) {
        index_.clear();
        for (auto& e : c_.registry.snapshot()) {
            std::wstring key = folder_name_of(e.path);
            index_.emplace(std::move(key), std::move(e));
        }
        index_generation_ = generation;
        it = index_.find(name);
    }
    if (it == index_.end()) return std::nullopt;
    return it->second;
}

web_response web_routes::frame(const web_request& request, const std::wstring& folder, std::string_view file) {
    constexpr std::string_view suffix = ".jpg";
    if (file.size() <= suffix.size() || file.substr(file.size() - suffix.size()) != suffix) return not_found(request);
    const auto count = count_from_url(file.substr(0, file.size() - suffix.size()));
    if (!count) return text(request, http::status::bad_request, L"Неверный номер кадра");
    const auto entry = find_folder(folder);
    if (!entry) return not_found(request);
    const std::string etag = frame_etag(*entry, *count);
    if (matches(request, etag)) return not_modified(request, etag, forever);
    frame_bytes bytes = cached_frame(etag);
    if (!bytes.file && !bytes.bytes) {
        std::optional<std::string> stored;
        {
            const reader_pool::lease lease = c_.registry.readers().acquire(entry->path);
            if (!lease) return not_found(request);  // being deleted
            lease->each_stored(*count, *count, [&](std::uint32_t, const std::string& found) { stored = found; });
        }
        if (!stored) return text(request, http::status::not_found, L"Нет кадра с таким номером");
        bytes.file = memory_file::make(*stored);
        if (!bytes.file) bytes.bytes = std::make_shared<const std::string>(std::move(*stored));
        keep_frame(etag, bytes);
    }
    auto r = make(request, http::status::ok, "image/jpeg", std::move(bytes));
    r.set(http::field::etag, etag);
    r.set(http::field::cache_control, beast_view(forever));
    return r;
}

web_routes::frame_bytes web_routes::cached_frame(const std::string& etag) {
    std::lock_guard<std::mutex> hold(frames_mutex_);
    for (auto it = frames_.begin(); it != frames_.end(); ++it)
        if (it->etag == etag) {
            frames_.splice(frames_.begin(), frames_, it);
            return it->bytes;
        }
    return {};
}

void web_routes::keep_frame(const std::string& etag, frame_bytes bytes) {
    std::lock_guard<std::mutex> hold(frames_mutex_);
    frames_bytes_ += shared_body::size(bytes);
    frames_.push_front(kept_frame{etag, std::move(bytes)});
    while ((frames_bytes_ > frames_kept_bytes || frames_.size() > frames_kept) && !frames_.empty()) {
        frames_bytes_ -= shared_body::size(frames_.back().bytes);
        frames_.pop_back();
    }
}

web_response web_routes::counts(const web_request& request, const std::wstring& folder) {
    const auto entry = find_folder(folder);
    if (!entry) return not_found(request);
    std::optional<std::vector<std::uint32_t>> found;
    {
        std::lock_guard<std::mutex> hold(counts_mutex_);
        for (auto it = counts_.begin(); it != counts_.end(); ++it)
            if (it->path == entry->path && it->info == entry->info) {
                counts_.splice(counts_.begin(), counts_, it);
                found = it->counts;
                break;
            }
    }
    if (!found) {
        // One pass over the recording's keys: kept for the next page that asks.
        const reader_pool::lease lease = c_.registry.readers().acquire(entry->path);
        if (!lease) return not_found(request);
        found = lease->frame_counts([this] { return !c_.stopping.load(); });
        std::lock_guard<std::mutex> hold(counts_mutex_);
        counts_.push_front(counted{entry->path, entry->info, *found});
        if (counts_.size() > counts_kept) counts_.pop_back();
    }
    const double scale = c_.settings->read_double(settings_keys::scale, settings_defaults::scale);
    const bool show = c_.settings->read_bool(settings_keys::show_scale, settings_defaults::show_scale);
    auto r = make(request, http::status::ok, json_type, counts_json(*found, scale, show));
    r.set(http::field::cache_control, "no-cache");
    return r;
}

web_response web_routes::command(const web_request& request, std::string_view path, const std::string& peer) {
    struct known {
        std::string_view path;
        int code;
        const wchar_t* name;
    };
    static constexpr known commands[] = {
        {"/api/record/start", web_commands::record, L"начать запись"},
        {"/api/record/stop", web_commands::stop, L"остановить"},
        {"/api/capture/start", web_commands::capture, L"начать захват"},
    };
    const auto it = std::find_if(std::begin(commands), std::end(commands),
                                 [&](const known& k) { return k.path == path; });
    if (it == std::end(commands)) {
        // The pages' own addresses only read.
        for (const std::string_view page : {"/", "/recordings", "/api/", "/static/", "/live.jpg"})
            if (path == page || (page.size() > 1 && path.rfind(page, 0) == 0)) {
                auto r = text(request, http::status::method_not_allowed, L"Только чтение");
                r.set(http::field::allow, "GET, HEAD");
                return r;
            }
        return not_found(request);
    }
    const std::string token =
        encode_utf8(c_.settings->read_text(settings_keys::web_control_token, settings_defaults::web_control_token)
                        .ToStdWstring());
    // Read-only while no token is set: the commands do not exist then.
    if (token.empty()) return not_found(request);
    // Only the header counts; the token is never written to a row.
    if (!same_token(std_view(request["X-Quillmar-Token"]), token)) {
        post_log_error(c_.rows, L"Веб-команда отклонена (неверный ключ управления) от: " + to_wide(peer));
        return text(request, http::status::forbidden, L"Неверный ключ управления");
    }
    post_log_info(c_.commands, std::wstring(L"Веб-команда «") + it->name + L"» от: " + to_wide(peer));
    post_message(c_.commands, rc_command_message{it->code, L"", true});
    return text(request, http::status::accepted, L"Команда принята");
}

web_response web_routes::answer_get(const web_request& request, std::string_view path) {
    const auto segments = segments_of(path);
    const auto page = [&](std::string_view name) {
        const web_file* f = find_web_file(name);
        if (!f) return not_found(request);
        if (matches(request, f->etag)) return not_modified(request, f->etag, "no-cache");
        auto r = make(request, http::status::ok, f->type, f->bytes);
        r.set(http::field::etag, f->etag);
        r.set(http::field::cache_control, "no-cache");
        return r;
    };
    const auto folder_or_refuse = [&](std::string_view segment) { return folder_name_from_url(segment); };
    const std::size_t n = segments.size();
    if (n == 1 && segments[0].empty()) return page("live.html");
    if (n == 1 && segments[0] == "recordings") return page("recordings.html");
    if (n == 2 && segments[0] == "static") return page(segments[1]);
    if (n == 1 && segments[0] == "live.jpg") {
        c_.feed.watched(web_feed::clock::now());
        const auto live = c_.feed.live();
        if (!live.jpeg) {
            auto r = text(request, http::status::service_unavailable, L"Живого кадра пока нет");
            r.set(http::field::retry_after, "1");
            return r;
        }
        auto r = make(request, http::status::ok, "image/jpeg", live.jpeg);
        r.set(http::field::cache_control, "no-store");
        return r;
    }
    if (n >= 2 && segments[0] == "api") {
        if (n == 2 && segments[1] == "health") {
            auto r = make(request, http::status::ok, json_type, c_.feed.health().json);
            r.set(http::field::cache_control, "no-store");
            return r;
        }
        if (n == 2 && segments[1] == "recordings") {
            auto r = make(request, http::status::ok, json_type, recordings_now());
            r.set(http::field::cache_control, "no-store");
            return r;
        }
        if (n == 4 && segments[1] == "recordings" && segments[3] == "frames") {
            const auto folder = folder_or_refuse(segments[2]);
            if (!folder) return text(request, http::status::bad_request, L"Неверное имя записи");
            return counts(request, *folder);
        }
        return not_found(request);
    }
    if (segments[0] == "recordings" && (n == 2 || (n == 4 && segments[2] == "frames"))) {
        const auto folder = folder_or_refuse(segments[1]);
        if (!folder) return text(request, http::status::bad_request, L"Неверное имя записи");
        if (n == 4) return frame(request, *folder, segments[3]);
        if (!find_folder(*folder)) return not_found(request);
        return page("recording.html");
    }
    return not_found(request);
}

web_response web_routes::answer(const web_request& request, const std::string& peer) {
    web_response r;
    try {
        const auto verb = request.method();
        const std::string_view path = path_of(request);
        if (verb == http::verb::post) {
            r = command(request, path, peer);
        } else if (verb != http::verb::get && verb != http::verb::head) {
            r = text(request, http::status::method_not_allowed, L"Метод не поддерживается");
            r.set(http::field::allow, "GET, HEAD, POST");
        } else {
            r = answer_get(request, path);
        }
    } catch (const std::exception& e) {
        post_log_error(c_.rows, L"Веб-сервис: " + to_wide(e.what()));
        r = text(request, http::status::service_unavailable, L"Запись сейчас не читается");
    }
    finish_head(request, r);
    return r;
}

std::optional<web_response> web_routes::answer_from_memory(const web_request& request) {
    if (request.method() != http::verb::get && request.method() != http::verb::head) return std::nullopt;
    const auto segments = segments_of(path_of(request));
    if (segments.size() != 4 || segments[0] != "recordings" || segments[2] != "frames") return std::nullopt;
    constexpr std::string_view suffix = ".jpg";
    const std::string_view file = segments[3];
    if (file.size() <= suffix.size() || file.substr(file.size() - suffix.size()) != suffix) return std::nullopt;
    const auto folder = folder_name_from_url(segments[1]);
    const auto count = count_from_url(file.substr(0, file.size() - suffix.size()));
    if (!folder || !count) return std::nullopt;
    std::optional<registry_entry> entry;
    {
        std::lock_guard<std::mutex> hold(index_mutex_);
        if (index_generation_ != c_.feed.recordings_generation()) return std::nullopt;
        const auto it = index_.find(*folder);
        if (it == index_.end()) return std::nullopt;
        entry = it->second;
    }
    const std::string etag = frame_etag(*entry, *count);
    if (matches(request, etag)) return not_modified(request, etag, forever);
    frame_bytes bytes = cached_frame(etag);
    if (!bytes.file && !bytes.bytes) return std::nullopt;
    auto r = make(request, http::status::ok, "image/jpeg", std::move(bytes));
    r.set(http::field::etag, etag);
    r.set(http::field::cache_control, beast_view(forever));
    finish_head(request, r);
    return r;
}
