#pragma once
// Shared pieces of the service tests: a settings file in a scratch folder, recorded test
// databases, waiting for rows, and a free loopback port.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "database/database_reader.h"
#include "database/recording_database.h"
#include "settings/settings_store.h"
#include "tests/database/db_test_util.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"

namespace net_test {

inline settings_ptr scratch_settings(const test_support::temp_dir& dir) {
    return std::make_shared<settings_store>(wxString((dir.path() / ".quillmar").wstring()));
}

// A service under test with its scratch settings and a sink that records what it posts.
template <class Service>
class service_fixture : public ::testing::Test {
protected:
    test_support::temp_dir dir{"qm-net"};
    settings_ptr settings = scratch_settings(dir);
    std::shared_ptr<test_support::recording_sink> sink = std::make_shared<test_support::recording_sink>();
    std::unique_ptr<Service> service;
};

// A port nothing listens on right now (bound once by the system's choice, then released).
inline std::uint16_t free_port() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

// Records frames of test_frame(value) at the given counts and closes with session.
inline ldb_info record(const std::filesystem::path& path, const std::string& session,
                       std::initializer_list<std::pair<std::uint32_t, int>> frames) {
    {
        recording_database db;
        db.open(path.wstring());
        std::int64_t t = 1714566645;
        for (const auto& [count, value] : frames) db.store_frame(db_test::test_frame(value), count, t++);
        db.close(session, L"левый");
    }
    return database_reader(path.wstring()).summary();
}

inline std::string stored_at(const std::filesystem::path& path, std::uint32_t count) {
    return database_reader(path.wstring()).read_stored(count).value_or("");
}

inline std::size_t count_of(const test_support::recording_sink& sink, thread_event kind, const std::wstring& text) {
    std::size_t n = 0;
    for (const auto& t : sink.texts(kind)) n += t == text;
    return n;
}

inline bool wait_count(const test_support::recording_sink& sink, thread_event kind, const std::wstring& text,
                       std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (count_of(sink, kind, text) < n) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace net_test
