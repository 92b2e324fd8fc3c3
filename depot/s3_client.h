#pragma once
// s3_client: the few S3 requests the depot upload needs, over libcurl with its own AWS
// Signature V4 signing, path-style (endpoint/bucket/key), payload unsigned.
//
// Ownership: owns one curl easy handle, reused for every request (keeps the connection).
// Thread safety: none; one thread uses a client at a time (each upload has its own).
// Errors: every call returns an s3_result; nothing throws except std::bad_alloc. A result's
// reason is Russian text for the operator and never contains the secret.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct s3_config {
    std::string endpoint;  // "http://127.0.0.1:8080" or "https://depot.example:443"
    std::string bucket;
    std::string region = "us-east-1";
    std::string access_key;
    std::string secret;
    std::string ca_file;              // empty: the system's certificates
    std::uint64_t max_send_bytes_per_s = 0;  // 0: no cap
    long connect_timeout_s = 10;
    // A transfer slower than low_speed_bytes for low_speed_time_s is cut (a dead link).
    long low_speed_bytes = 1024;
    long low_speed_time_s = 30;
    // Polled during every transfer (from the calling thread); true ends the request under
    // way at once with s3_error::cancelled, so an owner stopping its thread never waits for
    // a slow part to finish.
    std::function<bool()> cancelled;
};

enum class s3_error {
    none,
    unreachable,   // no connection, timeout, dropped link: worth trying again
    credentials,   // the store refused the key or the signature
    no_bucket,
    no_object,     // the object or the multipart upload is not there
    full,          // the store has no room
    server,        // 5xx: worth trying again
    other,         // anything else: not worth trying again
    local,         // a local file could not be read or written
    cancelled,     // the config's cancelled() asked to stop
};

struct s3_result {
    s3_error error = s3_error::none;
    long http_status = 0;
    std::string reason;  // Russian, for the operator; empty when ok
    std::string body;    // response body (bounded), for the calls that parse it
    std::map<std::string, std::string> headers;  // response headers, names lower case

    bool ok() const { return error == s3_error::none; }
    // Transient failures: the same request may succeed later.
    bool retryable() const { return error == s3_error::unreachable || error == s3_error::server; }
};

struct s3_object {
    std::string key;
    std::uint64_t size = 0;
};

struct s3_part {
    int number = 0;
    std::uint64_t size = 0;
    std::string etag;  // without quotes
};

class s3_client {
public:
    explicit s3_client(s3_config config);
    ~s3_client();
    s3_client(const s3_client&) = delete;
    s3_client& operator=(const s3_client&) = delete;

    const s3_config& config() const { return config_; }

    // Uploads [offset, offset + length) of the file; metadata names without "x-amz-meta-".
    s3_result put_file(const std::string& key, const std::string& path, std::uint64_t offset,
                       std::uint64_t length, const std::map<std::string, std::string>& metadata);
    s3_result put_bytes(const std::string& key, const std::string& bytes,
                        const std::map<std::string, std::string>& metadata);
    // Headers in the result: content-length, x-amz-meta-*, etag.
    s3_result head(const std::string& key);
    // Whole object into memory; refused above max_bytes.
    s3_result get_bytes(const std::string& key, std::string& out, std::uint64_t max_bytes);
    s3_result get_to_file(const std::string& key, const std::string& path);
    s3_result remove(const std::string& key);
    s3_result list(const std::string& prefix, std::vector<s3_object>& out);

    s3_result create_multipart(const std::string& key, const std::map<std::string, std::string>& metadata,
                               std::string& upload_id);
    s3_result upload_part(const std::string& key, const std::string& upload_id, int number,
                          const std::string& path, std::uint64_t offset, std::uint64_t length, std::string& etag);
    s3_result list_parts(const std::string& key, const std::string& upload_id, std::vector<s3_part>& out);
    s3_result complete_multipart(const std::string& key, const std::string& upload_id,
                                 const std::vector<s3_part>& parts);
    s3_result abort_multipart(const std::string& key, const std::string& upload_id);

private:
    struct request;
    s3_result perform(request& r);
    std::string url(const std::string& key, const std::string& query) const;

    s3_config config_;
    void* curl_ = nullptr;  // CURL*
};

// S3's URI encoding: everything but unreserved characters as %XX (upper case); '/' kept
// when keep_slash.
std::string s3_uri_encode(const std::string& text, bool keep_slash);

// Minimal, bounded XML reading for S3 answers: the text of each <tag>...</tag> element in
// order (no nesting of the same tag, entities &amp; &lt; &gt; &quot; &apos; decoded). Never
// reads past the document; a truncated element ends the list.
std::vector<std::string> xml_elements(const std::string& document, const std::string& tag);
std::string xml_first(const std::string& document, const std::string& tag);
std::string xml_escape(const std::string& text);
