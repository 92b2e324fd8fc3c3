#include "depot/s3_client.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace {

// Answers are small XML documents; anything larger is not an answer we read.
constexpr std::size_t max_body = 16u << 20;

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string trim(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r' || text[b] == '\n')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' || text[e - 1] == '\n')) --e;
    return text.substr(b, e - b);
}

std::string strip_quotes(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    return text;
}

std::string xml_unescape(const std::string& text) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [name, c] : entities) {
                const std::size_t n = std::strlen(name);
                if (text.compare(i, n, name) == 0) {
                    out += c;
                    i += n;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

}  // namespace

std::string s3_uri_encode(const std::string& text, bool keep_slash) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '_' || c == '.' || c == '~';
        if (unreserved || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::vector<std::string> xml_elements(const std::string& document, const std::string& tag) {
    std::vector<std::string> out;
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    std::size_t at = 0;
    while (at < document.size()) {
        const std::size_t begin = document.find(open, at);
        if (begin == std::string::npos) break;
        const std::size_t content = begin + open.size();
        const std::size_t end = document.find(close, content);
        if (end == std::string::npos) break;
        out.push_back(xml_unescape(document.substr(content, end - content)));
        at = end + close.size();
    }
    return out;
}

std::string xml_first(const std::string& document, const std::string& tag) {
    auto all = xml_elements(document, tag);
    return all.empty() ? std::string() : all.front();
}

std::string xml_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

struct s3_client::request {
    std::string method = "GET";
    std::string key;    // empty: the bucket itself
    std::string query;  // already encoded, parameters in sorted order (the signature needs it)
    std::vector<std::string> headers;
    // Body source: a file range, or bytes in memory, or none.
    std::string file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    const std::string* bytes = nullptr;
    // Body sink: a file, or the result's body (bounded).
    std::string out_file;
    bool head = false;
};

namespace {

struct transfer {
    std::FILE* in = nullptr;
    std::uint64_t left = 0;
    const std::string* bytes = nullptr;
    std::size_t bytes_at = 0;
    std::FILE* out = nullptr;
    std::string* body = nullptr;
    bool overflow = false;
    bool write_failed = false;
    std::map<std::string, std::string>* headers = nullptr;
};

std::size_t read_body(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    const std::size_t room = size * count;
    if (t->bytes) {
        const std::size_t n = std::min(room, t->bytes->size() - t->bytes_at);
        std::memcpy(buffer, t->bytes->data() + t->bytes_at, n);
        t->bytes_at += n;
        return n;
    }
    if (!t->in || t->left == 0) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(room, t->left));
    const std::size_t n = std::fread(buffer, 1, want, t->in);
    if (n == 0) return CURL_READFUNC_ABORT;  // the file shrank under us
    t->left -= n;
    return n;
}

std::size_t write_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    const std::size_t n = size * count;
    if (t->out) {
        if (std::fwrite(data, 1, n, t->out) != n) {
            t->write_failed = true;
            return 0;
        }
        return n;
    }
    if (t->body->size() + n > max_body) {
        t->overflow = true;
        return 0;
    }
    t->body->append(data, n);
    return n;
}

int transfer_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancelled = static_cast<const std::function<bool()>*>(user);
    return (*cancelled)() ? 1 : 0;
}

std::size_t write_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    const std::size_t n = size * count;
    const std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
        t->headers->clear();  // a new response (after 100 Continue)
        return n;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) (*t->headers)[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
    return n;
}

// Closes a FILE* on every path.
struct file_closer {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace

s3_client::s3_client(s3_config config) : config_(std::move(config)) {
    global_init();
    while (!config_.endpoint.empty() && config_.endpoint.back() == '/') config_.endpoint.pop_back();
    curl_ = curl_easy_init();
}

s3_client::~s3_client() {
    if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

std::string s3_client::url(const std::string& key, const std::string& query) const {
    std::string u = config_.endpoint + "/" + s3_uri_encode(config_.bucket, false);
    if (!key.empty()) u += "/" + s3_uri_encode(key, true);
    if (!query.empty()) u += "?" + query;
    return u;
}

s3_result s3_client::perform(request& r) {
    s3_result result;
    CURL* curl = static_cast<CURL*>(curl_);
    if (!curl) {
        result.error = s3_error::local;
        result.reason = "не удалось подготовить запрос к депо";
        return result;
    }
    curl_easy_reset(curl);

    transfer t;
    t.body = &result.body;
    t.headers = &result.headers;
    file_ptr in, out;
    if (!r.file.empty()) {
        in.reset(std::fopen(r.file.c_str(), "rb"));
        if (!in || fseeko(in.get(), static_cast<off_t>(r.offset), SEEK_SET) != 0) {
            result.error = s3_error::local;
            result.reason = "не удалось прочитать файл " + r.file;
            return result;
        }
        t.in = in.get();
        t.left = r.length;
    }
    t.bytes = r.bytes;
    if (!r.out_file.empty()) {
        out.reset(std::fopen(r.out_file.c_str(), "wb"));
        if (!out) {
            result.error = s3_error::local;
            result.reason = "не удалось записать файл " + r.out_file;
            return result;
        }
        t.out = out.get();
    }

    const std::string target = url(r.key, r.query);
    const std::string sigv4 = "aws:amz:" + config_.region + ":s3";
    curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_AWS_SIGV4);
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, config_.access_key.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, config_.secret.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, config_.connect_timeout_s);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, config_.low_speed_bytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, config_.low_speed_time_s);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!config_.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, config_.ca_file.c_str());
    if (config_.max_send_bytes_per_s)
        curl_easy_setopt(curl, CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(config_.max_send_bytes_per_s));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, write_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    if (config_.cancelled) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transfer_progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &config_.cancelled);
    }

    // The payload goes unsigned: a 40 GB recording is never hashed twice per request.
    struct curl_slist* headers = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    for (const auto& h : r.headers) headers = curl_slist_append(headers, h.c_str());
    const bool has_body = !r.file.empty() || r.bytes;
    if (r.method == "PUT" || (r.method == "POST" && has_body)) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        // The body follows the headers at once instead of after the store's "100 Continue", a
        // round trip saved per part; a refusal still ends the request early. (Removing the
        // Expect header instead would break the signature: curl signs the header list as given.)
        curl_easy_setopt(curl, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
        // Larger reads and sends than the default 64 KB: fewer calls per 8 MB part.
        curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 20);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(curl, CURLOPT_READDATA, &t);
        const std::uint64_t size = r.bytes ? r.bytes->size() : r.length;
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        if (r.method == "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "POST");
    } else if (r.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 0L);
    } else if (r.head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (r.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.http_status);
    if (out && std::fflush(out.get()) != 0) t.write_failed = true;

    if (t.write_failed) {
        result.error = s3_error::local;
        result.reason = "не удалось записать файл " + r.out_file;
        return result;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && config_.cancelled && config_.cancelled()) {
        result.error = s3_error::cancelled;
        result.reason = "выгрузка прервана";
        return result;
    }
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && t.overflow)) {
        result.error = code == CURLE_ABORTED_BY_CALLBACK || code == CURLE_READ_ERROR ? s3_error::local
                                                                                     : s3_error::unreachable;
        result.reason = result.error == s3_error::local ? "не удалось прочитать файл " + r.file
                                                        : "депо недоступно: " + config_.endpoint;
        return result;
    }
    if (t.overflow) {
        result.error = s3_error::other;
        result.reason = "депо прислало слишком длинный ответ";
        return result;
    }
    const long status = result.http_status;
    if (status >= 200 && status < 300) return result;

    // An error answer: the body went to the file sink for a download; read its code there.
    std::string body = result.body;
    if (out) {
        out.reset();
        std::FILE* f = std::fopen(r.out_file.c_str(), "rb");
        if (f) {
            char buffer[4096];
            const std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
            body.assign(buffer, n);
            std::fclose(f);
        }
        std::remove(r.out_file.c_str());
    }
    const std::string error_code = xml_first(body, "Code");
    if (status == 403 || status == 401 || error_code == "InvalidAccessKeyId" || error_code == "SignatureDoesNotMatch" ||
        error_code == "AccessDenied") {
        result.error = s3_error::credentials;
        result.reason = "депо отклонило ключ доступа";
    } else if (error_code == "NoSuchBucket") {
        result.error = s3_error::no_bucket;
        result.reason = "нет корзины " + config_.bucket + " в депо";
    } else if (status == 404) {
        // HEAD has no body: a missing bucket and a missing object look alike there.
        result.error = s3_error::no_object;
        result.reason = "нет объекта " + r.key + " в депо";
    } else if (status == 507 || error_code == "QuotaExceeded" || error_code == "InsufficientStorage" ||
               error_code == "EntityTooLarge") {
        result.error = s3_error::full;
        result.reason = "хранилище депо заполнено";
    } else if (status >= 500) {
        result.error = s3_error::server;
        result.reason = "депо ответило ошибкой " + std::to_string(status);
    } else {
        result.error = s3_error::other;
        result.reason = "депо отказало в запросе: " + std::to_string(status) + (error_code.empty() ? "" : " " + error_code);
    }
    return result;
}

namespace {
std::vector<std::string> meta_headers(const std::map<std::string, std::string>& metadata) {
    std::vector<std::string> out;
    for (const auto& [name, value] : metadata) out.push_back("x-amz-meta-" + name + ": " + value);
    return out;
}
}  // namespace

s3_result s3_client::put_file(const std::string& key, const std::string& path, std::uint64_t offset,
                              std::uint64_t length, const std::map<std::string, std::string>& metadata) {
    request r;
    r.method = "PUT";
    r.key = key;
    r.file = path;
    r.offset = offset;
    r.length = length;
    r.headers = meta_headers(metadata);
    return perform(r);
}

s3_result s3_client::put_bytes(const std::string& key, const std::string& bytes,
                               const std::map<std::string, std::string>& metadata) {
    request r;
    r.method = "PUT";
    r.key = key;
    r.bytes = &bytes;
    r.headers = meta_headers(metadata);
    return perform(r);
}

s3_result s3_client::head(const std::string& key) {
    request r;
    r.method = "HEAD";
    r.head = true;
    r.key = key;
    return perform(r);
}

s3_result s3_client::get_bytes(const std::string& key, std::string& out, std::uint64_t max_bytes) {
    request r;
    r.key = key;
    s3_result result = perform(r);
    if (result.ok() && result.body.size() > max_bytes) {
        result.error = s3_error::other;
        result.reason = "объект " + key + " в депо слишком велик";
    }
    if (result.ok()) out = std::move(result.body);
    return result;
}

s3_result s3_client::get_to_file(const std::string& key, const std::string& path) {
    request r;
    r.key = key;
    r.out_file = path;
    return perform(r);
}

s3_result s3_client::remove(const std::string& key) {
    request r;
    r.method = "DELETE";
    r.key = key;
    return perform(r);
}

s3_result s3_client::list(const std::string& prefix, std::vector<s3_object>& out) {
    out.clear();
    std::string token;
    // Bounded: a listing of more than ten thousand pages is not a listing of recordings.
    for (int page = 0; page < 10000; ++page) {
        request r;
        r.query = (token.empty() ? "" : "continuation-token=" + s3_uri_encode(token, false) + "&") +
                  "list-type=2&prefix=" + s3_uri_encode(prefix, false);
        s3_result result = perform(r);
        if (!result.ok()) return result;
        for (const auto& entry : xml_elements(result.body, "Contents")) {
            s3_object object;
            object.key = xml_first(entry, "Key");
            object.size = std::strtoull(xml_first(entry, "Size").c_str(), nullptr, 10);
            out.push_back(object);
        }
        token = xml_first(result.body, "NextContinuationToken");
        if (xml_first(result.body, "IsTruncated") != "true" || token.empty()) return result;
    }
    return {};
}

s3_result s3_client::create_multipart(const std::string& key, const std::map<std::string, std::string>& metadata,
                                      std::string& upload_id) {
    request r;
    r.method = "POST";
    r.key = key;
    r.query = "uploads=";
    r.headers = meta_headers(metadata);
    s3_result result = perform(r);
    if (result.ok()) {
        upload_id = xml_first(result.body, "UploadId");
        if (upload_id.empty()) {
            result.error = s3_error::other;
            result.reason = "депо не назвало номер загрузки";
        }
    }
    return result;
}

s3_result s3_client::upload_part(const std::string& key, const std::string& upload_id, int number,
                                 const std::string& path, std::uint64_t offset, std::uint64_t length,
                                 std::string& etag) {
    request r;
    r.method = "PUT";
    r.key = key;
    r.query = "partNumber=" + std::to_string(number) + "&uploadId=" + s3_uri_encode(upload_id, false);
    r.file = path;
    r.offset = offset;
    r.length = length;
    s3_result result = perform(r);
    if (result.ok()) etag = strip_quotes(result.headers["etag"]);
    return result;
}

s3_result s3_client::list_parts(const std::string& key, const std::string& upload_id, std::vector<s3_part>& out) {
    out.clear();
    std::string marker;
    for (int page = 0; page < 10000; ++page) {
        request r;
        r.key = key;
        r.query = (marker.empty() ? "" : "part-number-marker=" + marker + "&") +
                  "uploadId=" + s3_uri_encode(upload_id, false);
        s3_result result = perform(r);
        if (!result.ok()) return result;
        for (const auto& entry : xml_elements(result.body, "Part")) {
            s3_part part;
            part.number = std::atoi(xml_first(entry, "PartNumber").c_str());
            part.size = std::strtoull(xml_first(entry, "Size").c_str(), nullptr, 10);
            part.etag = strip_quotes(xml_first(entry, "ETag"));
            out.push_back(part);
        }
        marker = xml_first(result.body, "NextPartNumberMarker");
        if (xml_first(result.body, "IsTruncated") != "true" || marker.empty()) return result;
    }
    return {};
}

s3_result s3_client::complete_multipart(const std::string& key, const std::string& upload_id,
                                        const std::vector<s3_part>& parts) {
    std::string xml = "<CompleteMultipartUpload>";
    for (const auto& part : parts)
        xml += "<Part><PartNumber>" + std::to_string(part.number) + "</PartNumber><ETag>\"" + xml_escape(part.etag) +
               "\"</ETag></Part>";
    xml += "</CompleteMultipartUpload>";
    request r;
    r.method = "POST";
    r.key = key;
    r.query = "uploadId=" + s3_uri_encode(upload_id, false);
    r.bytes = &xml;
    r.headers.push_back("Content-Type: application/xml");
    s3_result result = perform(r);
    // A 200 may still carry an error document (the store failed while assembling).
    if (result.ok() && !xml_first(result.body, "Code").empty() && xml_first(result.body, "ETag").empty()) {
        result.error = s3_error::server;
        result.reason = "депо не собрало объект " + key + ": " + xml_first(result.body, "Code");
    }
    return result;
}

s3_result s3_client::abort_multipart(const std::string& key, const std::string& upload_id) {
    request r;
    r.method = "DELETE";
    r.key = key;
    r.query = "uploadId=" + s3_uri_encode(upload_id, false);
    return perform(r);
}
