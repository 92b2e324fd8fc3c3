// quillmar-coordserver-sim: a coordinate server on loopback for trying the recorder and for
// tests. Answers every 64-byte "CXQUEST2" query with a 1024-byte answer that carries the
// first text at offset 581 and the second at offset 613 (zero-terminated, 31 bytes at most
// each); all other bytes are zero.
#include "recording/coordinate_client.h"
#include "tools/tool_args.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

const char* const usage =
    "usage: quillmar-coordserver-sim [options]\n"
    "A coordinate server on 127.0.0.1. Prints the port it listens on as the first line of\n"
    "standard output, then one line \"answered FIRST|SECOND\" per answer.\n"
    "\n"
    "  --port N             TCP port (default 0 = any free port)\n"
    "  --first TEXT         text at offset 581 (default empty)\n"
    "  --second TEXT        text at offset 613 (default empty)\n"
    "  --script FILE        re-read before every answer: line 1 = first text, line 2 = second\n"
    "                       (a missing file keeps the last texts)\n"
    "  --close-after-answer close the connection after each answer\n"
    "  --seconds N          stop after N seconds (default 0 = until interrupted)\n"
    "  --help               this text\n";

constexpr std::size_t max_text = 31;  // the two fields are 32 bytes apart

struct options {
    unsigned short port = 0;
    std::string first, second, script;
    bool close_after_answer = false;
    unsigned long seconds = 0;
};

options parse(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(a + ": missing value");
            return argv[++i];
        };
        auto text = [&]() {
            std::string v = value();
            if (v.size() > max_text) throw std::runtime_error(a + ": longer than 31 bytes");
            return v;
        };
        if (a == "--port")
            o.port = static_cast<unsigned short>(tool_args::parse_number(a, value(), 65535));
        else if (a == "--first")
            o.first = text();
        else if (a == "--second")
            o.second = text();
        else if (a == "--script")
            o.script = value();
        else if (a == "--close-after-answer")
            o.close_after_answer = true;
        else if (a == "--seconds")
            o.seconds = tool_args::parse_number(a, value(), 86400);
        else
            throw std::runtime_error("unknown argument: " + a);
    }
    return o;
}

using boost::asio::ip::tcp;

class server {
public:
    server(boost::asio::io_context& io, options o)
        : io_(io), o_(std::move(o)), acceptor_(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), o_.port)) {}

    unsigned short port() const { return acceptor_.local_endpoint().port(); }

    void accept() {
        acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket s) {
            if (!ec) serve(std::make_shared<connection>(std::move(s)));
            if (ec != boost::asio::error::operation_aborted) accept();
        });
    }

private:
    struct connection {
        explicit connection(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        std::array<std::uint8_t, coordinate_query_size> query{};
        std::array<std::uint8_t, coordinate_answer_size> answer{};
    };

    void serve(std::shared_ptr<connection> c) {
        boost::asio::async_read(
            c->socket, boost::asio::buffer(c->query), [this, c](const boost::system::error_code& ec, std::size_t) {
                if (ec) return;
                if (std::memcmp(c->query.data(), "CXQUEST2", 8) != 0) {
                    std::cout << "bad query" << std::endl;
                    return;  // drops the connection
                }
                refresh_texts();
                c->answer.fill(0);
                std::memcpy(c->answer.data() + coordinate_first_text_offset, o_.first.data(), o_.first.size());
                std::memcpy(c->answer.data() + coordinate_second_text_offset, o_.second.data(), o_.second.size());
                boost::asio::async_write(c->socket, boost::asio::buffer(c->answer),
                                         [this, c](const boost::system::error_code& e, std::size_t) {
                                             if (e) return;
                                             std::cout << "answered " << o_.first << "|" << o_.second << std::endl;
                                             if (!o_.close_after_answer) serve(c);
                                         });
            });
    }

    void refresh_texts() {
        if (o_.script.empty()) return;
        std::ifstream in(o_.script);
        if (!in) return;
        std::string first, second;
        std::getline(in, first);
        std::getline(in, second);
        // A script saved with Windows line ends must not put a carriage return into the texts.
        for (auto* text : {&first, &second})
            if (!text->empty() && text->back() == '\r') text->pop_back();
        o_.first = first.substr(0, max_text);
        o_.second = second.substr(0, max_text);
    }

    boost::asio::io_context& io_;
    options o_;
    tcp::acceptor acceptor_;
};

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    auto parsed = tool_args::options_or_exit("quillmar-coordserver-sim", usage, argc, argv, exit_code,
                                             [&] { return parse(argc, argv); });
    if (!parsed) return exit_code;
    options o = std::move(*parsed);
    try {
        boost::asio::io_context io;
        const unsigned long seconds = o.seconds;
        server s(io, std::move(o));
        std::cout << s.port() << std::endl;
        s.accept();
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });
        if (seconds)
            io.run_for(std::chrono::seconds(seconds));
        else
            io.run();
    } catch (const std::exception& e) {
        std::cerr << "quillmar-coordserver-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
