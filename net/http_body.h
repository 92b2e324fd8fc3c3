#pragma once
// The bytes of the web service's answers, held elsewhere and shared, never copied into an
// answer: shared_body (a Beast body over bytes in memory: a page of the bundle, JSON, the live
// JPEG) and memory_file (a stored frame kept in an in-memory file, so that the system sends
// it straight from there, as a static file server would, without copying it through this
// process: the connection does that itself, Beast never serializes a file).
// A null value is an empty body.
// Thread safety: the bytes never change once shared, so any number of answers may send the
// same ones at once; a memory_file's descriptor closes with its last owner (bytes the system
// still sends from it stay valid).
// Errors: memory_file::make() gives null when the system refuses (no memfd, no memory).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>

class memory_file {
public:
    static std::shared_ptr<const memory_file> make(std::string_view bytes);
    ~memory_file();
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;

    int descriptor() const { return fd_; }
    std::uint64_t size() const { return size_; }

private:
    memory_file(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    int fd_;
    std::uint64_t size_;
};

struct shared_body {
    struct value_type {
        std::shared_ptr<const std::string> bytes;
        std::shared_ptr<const memory_file> file;  // when set, bytes is not
    };

    static std::uint64_t size(const value_type& body) {
        if (body.file) return body.file->size();
        return body.bytes ? body.bytes->size() : 0;
    }

    class writer {
    public:
        using const_buffers_type = boost::asio::const_buffer;

        template <bool is_request, class Fields>
        writer(const boost::beast::http::header<is_request, Fields>&, const value_type& body) : body_(body) {}

        void init(boost::system::error_code& ec) {
            // A file goes out through the connection's own path; here it would be lost.
            ec = body_.file ? boost::system::errc::make_error_code(boost::system::errc::not_supported)
                            : boost::system::error_code{};
        }
        boost::optional<std::pair<const_buffers_type, bool>> get(boost::system::error_code& ec) {
            ec = {};
            if (done_ || !body_.bytes || body_.bytes->empty()) return boost::none;
            done_ = true;
            return std::make_pair(const_buffers_type(body_.bytes->data(), body_.bytes->size()), false);
        }

    private:
        const value_type& body_;
        bool done_ = false;
    };
};
