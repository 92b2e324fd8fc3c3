// The image data service under idle load, on loopback, measured side by side in one run:
//   1. four clients asking for 1920 x 1200 frames, with no idle connection and with 1,000
//      idle connections open (the order alternates between rounds, to spread the machine's
//      other load evenly):
//      their throughput ratio (goal >= 0.9) and the program's threads against the service's
//      pool (goal: pool + a fixed number);
//   2. 200 clients that ask for a frame and never read: the program's RSS before, while they
//      hold their answers, and after they have gone (goal: a rise of at most 200 x (one PNG
//      + 1 MB), and back within 10 %);
//   3. a day of steady flood through the log limiter of three services: rows and HTML bytes
//      (goal < 10 MB).
// Options: --requests N per client and round (default 8), --rounds (4), --idle (1000),
// --silent (200).
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "bench/database_bench_util.h"
#include "database/database_reader.h"
#include "database/database_registry.h"
#include "database/recording_database.h"
#include "log/log_row.h"
#include "net/img_service.h"
#include "net/png_pipeline.h"
#include "net/rate_limited_sink.h"
#include "net/service_client.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "tests/support/recording_sink.h"

#include <wx/init.h>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
constexpr int frames_per_db = 16;

// "Threads:" or "VmRSS:" (kB) of /proc/self/status.
long status_field(const std::string& name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name, 0) == 0) return std::strtol(line.c_str() + name.size(), nullptr, 10);
    return -1;
}

// Requests per second of `clients` clients at once, each making `requests` named requests.
double throughput(std::uint16_t port, int clients, int requests, std::atomic<int>& failures) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::future<void>> running;
    for (int c = 0; c < clients; ++c)
        running.push_back(std::async(std::launch::async, [&, c] {
            try {
                service_connection client("127.0.0.1", port, std::chrono::seconds(60));
                for (int i = 0; i < requests; ++i)
                    if (client.fetch({"12", "34", static_cast<std::uint32_t>(10 * ((c + i) % frames_per_db))}).empty())
                        failures++;
            } catch (const std::exception&) {
                failures++;
            }
        }));
    for (auto& r : running) r.get();
    return clients * requests / bench_db::seconds_since(start);
}

// n sockets connected to port; receive_buffer > 0 makes them small readers.
std::vector<tcp::socket> open_idle(asio::io_context& io, std::uint16_t port, int n, int receive_buffer = 0) {
    std::vector<tcp::socket> sockets;
    const tcp::endpoint to(asio::ip::make_address_v4("127.0.0.1"), port);
    for (int i = 0; i < n; ++i) {
        sockets.emplace_back(io);
        sockets.back().open(tcp::v4());
        if (receive_buffer > 0) sockets.back().set_option(asio::socket_base::receive_buffer_size(receive_buffer));
        sockets.back().connect(to);
    }
    return sockets;
}

// The service's own pipeline, counting the frames it encoded.
class counting_pipeline : public png_pipeline {
public:
    std::vector<unsigned char> from_stored(std::string_view stored) const override {
        auto png = fast_->from_stored(stored);
        ++encoded;
        return png;
    }
    std::vector<unsigned char> from_image(const cv::Mat& image) const override { return fast_->from_image(image); }
    mutable std::atomic<std::size_t> encoded{0};

private:
    std::unique_ptr<png_pipeline> fast_ = make_fast_png_pipeline();
};

bool wait_for(const std::function<bool()>& pred, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    wxInitializer wx;  // the settings store is a wxFileConfig
    const int requests = static_cast<int>(bench_db::option(argc, argv, "--requests", 8));
    const int rounds = static_cast<int>(bench_db::option(argc, argv, "--rounds", 4));
    const int idle_count = static_cast<int>(bench_db::option(argc, argv, "--idle", 1000));
    const int silent_count = static_cast<int>(bench_db::option(argc, argv, "--silent", 200));

    // A thousand connections on each side of loopback need more descriptors than the default.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
    std::printf("descriptors allowed: %lu\n", static_cast<unsigned long>(files.rlim_cur));

    bench_db::scratch dir;
    auto settings = std::make_shared<settings_store>(wxString((dir.path() / ".quillmar").wstring()));
    settings->write_text(settings_keys::data_service_port, L"0");
    const auto path = dir.path() / "big";
    bench_db::record_strip(path, 1920, 1200, frames_per_db, 24);
    database_registry registry;
    registry.add(database_reader(path.wstring()).summary(), path.wstring());

    auto sink = std::make_shared<test_support::recording_sink>();
    img_service::options o;
    o.bind_address = "127.0.0.1";
    o.registry = &registry;
    auto pipeline = std::make_shared<counting_pipeline>();
    o.pipeline = pipeline;
    o.max_connections = static_cast<std::size_t>(idle_count) + 64;  // every idle one stays open
    img_service service(sink, settings, o);
    service.start();
    const std::uint16_t port = service.port();
    const long threads_before = status_field("Threads:");

    // 1. Four clients with and without a thousand idle connections, rounds alternating.
    std::atomic<int> failures{0};
    throughput(port, 4, 2, failures);  // warm-up
    double plain = 0, loaded = 0;
    long threads_loaded = 0;
    asio::io_context idle_io;
    // Odd rounds measure with idle connections first, so that drifting load from elsewhere
    // falls on both sides alike.
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) plain += throughput(port, 4, requests, failures);
        auto idle = open_idle(idle_io, port, idle_count);
        if (!wait_for([&] { return service.connections() >= static_cast<std::size_t>(idle_count); },
                      std::chrono::seconds(60)))
            std::printf("  only %zu of %d idle connections admitted\n", service.connections(), idle_count);
        threads_loaded = status_field("Threads:");
        loaded += throughput(port, 4, requests, failures);
        idle.clear();
        wait_for([&] { return service.connections() == 0; }, std::chrono::seconds(60));
        if (r % 2 == 1) plain += throughput(port, 4, requests, failures);
    }
    plain /= rounds;
    loaded /= rounds;
    std::printf("4 clients, 1920 x 1200 frames, %d requests each, %d rounds (load average now %.2f):\n", requests,
                rounds, [] {
                    double l[1] = {0};
                    getloadavg(l, 1);
                    return l[0];
                }());
    std::printf("  no idle connection   %6.2f requests/s\n", plain);
    std::printf("  %d idle connections %6.2f requests/s: %.2f x (goal >= 0.9)\n", idle_count, loaded, loaded / plain);
    std::printf(
        "  program threads with %d idle connections: %ld = service %zu (I/O pool + workers) + %ld others\n"
        "  (the main thread and library background threads); %ld before any connection\n",
        idle_count, threads_loaded, service.threads(), threads_loaded - static_cast<long>(service.threads()),
        threads_before);

    // 2. Clients that never read: one answer each in memory, all of it back when they go.
    const long rss_before = status_field("VmRSS:");
    std::size_t png_size = 0;
    {
        service_connection one("127.0.0.1", port, std::chrono::seconds(60));
        png_size = one.fetch({"12", "34", 0}).size();
    }
    std::vector<tcp::socket> silent = open_idle(idle_io, port, silent_count, 4096);
    const auto request = encode_image_request({"12", "34", 0});
    for (auto& s : silent) asio::write(s, asio::buffer(request));
    // Until every request has been answered (or a minute): the peak of what the service held.
    std::size_t held = 0;
    long rss_holding = 0;
    const auto asked = std::chrono::steady_clock::now();
    const std::size_t encoded_before = pipeline->encoded.load();
    while (bench_db::seconds_since(asked) < 60 &&
           pipeline->encoded.load() - encoded_before < static_cast<std::size_t>(silent_count)) {
        const std::size_t now_held = service.answer_bytes();
        if (now_held >= held) {
            held = now_held;
            rss_holding = std::max(rss_holding, status_field("VmRSS:"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    silent.clear();
    wait_for([&] { return service.connections() == 0 && service.answer_bytes() == 0; }, std::chrono::seconds(60));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long rss_after = status_field("VmRSS:");
    const double limit_mb = silent_count * (png_size + (1u << 20)) / 1048576.0;
    std::printf(
        "%d clients that never read (PNG %.0f KB): RSS %ld MB before, %ld MB holding (%.0f MB in answers;\n"
        "  rise %.0f MB, goal <= %.0f MB), %ld MB after they went (%.1f %% of before, goal <= 110 %%)\n",
        silent_count, png_size / 1024.0, rss_before / 1024, rss_holding / 1024, held / 1048576.0,
        (rss_holding - rss_before) / 1024.0, limit_mb, rss_after / 1024, 100.0 * rss_after / rss_before);

    // 3. A day of steady flood, 20 rows a second into each of the three services' limiters.
    std::size_t rows = 0, html_bytes = 0;
    {
        auto now = std::chrono::steady_clock::time_point{};
        struct counting : event_sink {
            std::size_t rows = 0, bytes = 0;
            std::tm when{};
            void post(thread_message m) override {
                ++rows;
                for (wchar_t c : format_log_row(log_kind::error, when, text_of(m)))  // UTF-8 in the file
                    bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
            }
        };
        auto target = std::make_shared<counting>();
        std::vector<std::unique_ptr<rate_limited_sink>> limiters;
        for (int s = 0; s < 3; ++s)
            limiters.push_back(std::make_unique<rate_limited_sink>(
                target, rate_limited_sink::default_burst, rate_limited_sink::default_per_second,
                rate_limited_sink::default_per_hour, [&now] { return now; }));
        for (int second = 0; second < 24 * 3600; ++second) {
            now += std::chrono::seconds(1);
            for (auto& l : limiters)
                for (int i = 0; i < 20; ++i)
                    l->post(log_error_message{L"Слишком много соединений, отказано: 192.168.100.200"});
        }
        rows = target->rows;
        html_bytes = target->bytes;
    }
    std::printf(
        "a day of steady flood (20 rows/s into each of 3 services): %zu rows, %.2f MB of HTML log (goal < 10 MB)\n",
        rows, html_bytes / 1048576.0);

    service.stop();
    std::printf("failed requests: %d, error rows: %zu\n", failures.load(), sink->texts(thread_event::log_error).size());
    const auto errors = sink->texts(thread_event::log_error);
    if (!errors.empty())
        std::printf("first error row: %ls (clients that never read end with a reset)\n", errors.front().c_str());
    return failures == 0 ? 0 : 1;
}
