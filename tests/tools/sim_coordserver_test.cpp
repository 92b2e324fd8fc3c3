// The coordinate server client against quillmar-coordserver-sim on loopback.
#include "recording/coordinate_client.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_home.h"
#include "tests/tools/sim_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A client polling every 100 ms (reconnecting after 200 ms) on a loop thread of its own,
// stopped by the destructor.
class client_run {
public:
    explicit client_run(const std::string& port)
        : sink(std::make_shared<test_support::recording_sink>()),
          client_(
              io_, "127.0.0.1", port, 100ms, sink,
              [this](const std::string& code) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  codes_.push_back(code);
              },
              200ms) {
        client_.start();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~client_run() {
        io_.stop();
        thread_.join();
    }
    std::vector<std::string> codes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return codes_;
    }
    bool wait_codes(std::size_t n) {
        for (int i = 0; i < 500 && codes().size() < n; ++i) std::this_thread::sleep_for(10ms);
        return codes().size() >= n;
    }

    std::shared_ptr<test_support::recording_sink> sink;

private:
    boost::asio::io_context io_;
    std::mutex mutex_;  // guards codes_
    std::vector<std::string> codes_;
    coordinate_client client_;
    std::thread thread_;
};

// Waits for n "answered" lines of the simulator.
void expect_answers(sim_test::child_process& sim, int n) {
    for (int i = 0; i < n; ++i) {
        auto line = sim.read_line();
        ASSERT_TRUE(line) << "answer " << i;
        EXPECT_EQ(line->rfind("answered ", 0), 0u) << *line;
    }
}

}  // namespace

TEST(CoordServerSim, AnswerBecomesTheSessionCode) {
    sim_test::child_process sim(sim_test::tool_path("quillmar-coordserver-sim"),
                                {"--first", "12", "--second", "ab", "--seconds", "30"});
    auto port = sim.read_line();
    ASSERT_TRUE(port);
    client_run run(*port);
    expect_answers(sim, 3);
    ASSERT_TRUE(run.wait_codes(3));
    for (const auto& code : run.codes()) EXPECT_EQ(code, "12 : ab");
    EXPECT_EQ(
        run.sink->texts(thread_event::log_info),
        (std::vector<std::wstring>{L"Адрес сервера координат определён.", L"Соединение с сервером координат установлено."}));
    EXPECT_TRUE(run.sink->texts(thread_event::log_error).empty());
}

TEST(CoordServerSim, AnEmptyFieldLeavesTheCodeAlone) {
    for (const auto& args : {std::vector<std::string>{"--second", "ab"}, std::vector<std::string>{"--first", "12"}}) {
        auto full = args;
        full.insert(full.end(), {"--seconds", "30"});
        sim_test::child_process sim(sim_test::tool_path("quillmar-coordserver-sim"), full);
        auto port = sim.read_line();
        ASSERT_TRUE(port);
        client_run run(*port);
        expect_answers(sim, 3);
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(run.codes().empty());
    }
}

TEST(CoordServerSim, ScriptedTextsChangeTheCode) {
    test_support::temp_dir dir("qm-coord");
    const std::string script = dir.str() + "/texts";
    std::ofstream(script) << "7\nx\n";
    sim_test::child_process sim(sim_test::tool_path("quillmar-coordserver-sim"),
                                {"--script", script, "--seconds", "30"});
    auto port = sim.read_line();
    ASSERT_TRUE(port);
    client_run run(*port);
    ASSERT_TRUE(run.wait_codes(1));
    EXPECT_EQ(run.codes().front(), "7 : x");
    std::ofstream(script) << "8\r\nyy\r\n";  // Windows line ends are not part of the texts
    for (int i = 0; i < 300 && run.codes().back() != "8 : yy"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(run.codes().back(), "8 : yy");
}

TEST(CoordServerSim, ServerClosingLogsTheErrorAndReconnects) {
    sim_test::child_process sim(sim_test::tool_path("quillmar-coordserver-sim"),
                                {"--first", "1", "--second", "2", "--close-after-answer", "--seconds", "30"});
    auto port = sim.read_line();
    ASSERT_TRUE(port);
    client_run run(*port);
    ASSERT_TRUE(run.wait_codes(3));
    // Each answer is followed by a failed receive and a new connection.
    const auto errors = run.sink->texts(thread_event::log_error);
    ASSERT_GE(errors.size(), 2u);
    EXPECT_EQ(errors.front(), L"соединение закрыто другой стороной");
    std::size_t connects = 0;
    for (const auto& t : run.sink->texts(thread_event::log_info)) connects += t == L"Соединение с сервером координат установлено.";
    EXPECT_GE(connects, 3u);
}

TEST(CoordServerSim, RejectsBadArgumentsAndExplainsUsage) {
    {
        sim_test::child_process help(sim_test::tool_path("quillmar-coordserver-sim"), {"--help"});
        auto line = help.read_line();
        ASSERT_TRUE(line);
        EXPECT_EQ(line->rfind("usage: quillmar-coordserver-sim", 0), 0u);
        EXPECT_EQ(help.wait(5s), 0);
    }
    for (const auto& bad :
         {std::vector<std::string>{"--port", "70000"}, std::vector<std::string>{"--port", "x"},
          std::vector<std::string>{"--first", std::string(40, 'a')}, std::vector<std::string>{"--bogus"}}) {
        sim_test::child_process sim(sim_test::tool_path("quillmar-coordserver-sim"), bad);
        EXPECT_EQ(sim.wait(5s), 2) << bad.front();
    }
}
