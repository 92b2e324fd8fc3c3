// The image data service under a small open-file limit. Each case runs the service in a
// forked child (the limit is the whole process's, and the 300 clients must not share it),
// talks to it on 127.0.0.1 from the test, and ends it within bounded time.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "database/database_registry.h"
#include "net/descriptor_budget.h"
#include "net/img_service.h"
#include "net/png_pipeline.h"
#include "net/service_client.h"
#include "settings/settings_keys.h"
#include "tests/net/net_test_util.h"

namespace {

using namespace std::chrono_literals;

// Reads what the child wrote until it closes its end, or nothing after `limit`.
std::string read_all(int fd, std::chrono::milliseconds limit) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return out;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

TEST(descriptor_limit, with_a_soft_limit_of_256_three_hundred_idle_clients_do_not_lock_out_a_real_one) {
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_GE(original.rlim_cur, 700u) << "the test's own 300 clients need room";
    struct row {
        const char* what;
        bool hard_is_soft;  // the limit cannot be raised: the connection limit must leave room
        bool sized;         // the service's connection limit from the budget, or 1000
    };
    const row rows[] = {
        {"hard limit 256, connections sized to it", true, true},
        {"hard limit above, raised at start", false, true},
        {"hard limit 256, unsized: accept fails for lack of descriptors", true, false},
    };
    test_support::temp_dir dir("qm-fd");
    const auto db = dir.path() / "ab";
    net_test::record(db, "A : B", {{100, 1}});
    const auto png = make_fast_png_pipeline()->from_stored(net_test::stored_at(db, 100));
    for (const auto& r : rows) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The sanitizers' runtime needs descriptors of its own, which this case takes all of:
        // its child dies in the runtime instead of the service.
        if (!r.sized) continue;
#endif
        int to_parent[2], to_child[2];
        ASSERT_EQ(::pipe(to_parent), 0);
        ASSERT_EQ(::pipe(to_child), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(to_parent[0]);
            ::close(to_child[1]);
            std::ostringstream report;
            try {
                rlimit small{256, r.hard_is_soft ? 256 : original.rlim_max};
                if (::setrlimit(RLIMIT_NOFILE, &small) != 0) throw std::runtime_error("setrlimit");
                const descriptor_budget budget = raise_descriptor_limit();
                auto settings = net_test::scratch_settings(dir);
                settings->write_text(settings_keys::data_service_port, L"0");
                auto sink = std::make_shared<test_support::recording_sink>();
                database_registry registry;
                registry.add(database_reader(db.wstring()).summary(), db.wstring());
                img_service::options o;
                o.bind_address = "127.0.0.1";
                o.registry = &registry;
                o.max_connections = r.sized ? budget.connections : 1000;
                img_service service(sink, settings, o);
                service.start();
                const std::uint16_t port = service.port();
                if (::write(to_parent[1], &port, sizeof port) != sizeof port) throw std::runtime_error("write");
                read_all(to_child[0], 30s);  // until the test is done, 30 s at most
                service.stop();
                std::size_t episodes = 0;
                for (const auto& t : sink->texts(thread_event::log_error))
                    episodes += t.starts_with(L"Не хватает дескрипторов файлов");
                report << budget.soft_before << ' ' << budget.soft << ' ' << budget.hard << ' ' << budget.connections
                       << ' ' << episodes;
            } catch (const std::exception& e) {
                report << "error " << e.what();
            }
            const std::string text = report.str();
            [[maybe_unused]] const auto written = ::write(to_parent[1], text.data(), text.size());
            ::_exit(0);
        }
        ::close(to_parent[1]);
        ::close(to_child[0]);
        std::uint16_t port = 0;
        pollfd ready{to_parent[0], POLLIN, 0};
        if (::poll(&ready, 1, 10000) == 1 && ::read(to_parent[0], &port, sizeof port) != sizeof port) port = 0;
        bool served = false;
        std::vector<std::uint8_t> answer;
        if (port != 0) {
            std::vector<std::unique_ptr<service_connection>> idle;
            for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<service_connection>("127.0.0.1", port, 5s));
            std::this_thread::sleep_for(300ms);
            try {
                service_connection client("127.0.0.1", port, 5s);
                answer = client.fetch({"A", "B", 100});
                served = true;
            } catch (const std::exception& e) {
                ADD_FAILURE() << r.what << ": " << e.what();
            }
        }
        ::close(to_child[1]);  // the child stops its service and reports
        const std::string report = read_all(to_parent[0], 10s);
        ::close(to_parent[0]);
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == 0) {  // it had 10 s to report: end it
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        ASSERT_NE(port, 0) << r.what << ": " << report;
        std::istringstream in(report);
        std::uint64_t soft_before = 0, soft = 0, hard = 0, connections = 0, episodes = 0;
        ASSERT_TRUE(in >> soft_before >> soft >> hard >> connections >> episodes) << r.what << ": " << report;
        EXPECT_EQ(soft_before, 256u) << r.what;
        EXPECT_EQ(soft, hard) << r.what;
        if (r.hard_is_soft) {
            EXPECT_LT(connections, 200u) << r.what;
        }
        EXPECT_TRUE(served) << r.what;
        if (r.sized) {
            EXPECT_EQ(answer, std::vector<std::uint8_t>(png.begin(), png.end())) << r.what;
        }
        // One row for the whole episode at most (the connection rows before it may have spent
        // the log budget, so it may be held back too).
        EXPECT_LE(episodes, r.sized ? 0u : 1u) << r.what;
    }
}

}  // namespace
