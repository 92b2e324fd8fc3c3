// quillmar-odometer-sim: an odometer on a pseudo-terminal, for trying the recorder and for
// tests without the hardware. Prints the device path to give as the odometer port
// (`dpp_port`), then sends counts until stopped or until --messages are sent. With a track
// (camera/simulated_track.h) the counts follow the distance the simulated camera shows.
#include "camera/simulated_track.h"
#include "recording/odometer_protocol.h"
#include "tools/support/pseudo_terminal.h"
#include "tools/tool_args.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const usage =
    "usage: quillmar-odometer-sim [options]\n"
    "Opens a pseudo-terminal, prints its device path on the first line of standard output\n"
    "and sends odometer counts to it. On exit it prints \"sent N\".\n"
    "\n"
    "  --format 4|7        message format (default 7)\n"
    "  --rate N            messages per second, 1..100000 (default 100)\n"
    "  --start N           first count (default 0)\n"
    "  --step N            forward step per message (default 1)\n"
    "  --back-every K      every K-th message jumps back instead of forward (default 0 = never)\n"
    "  --back-by N         size of a backward jump (default 100)\n"
    "  --garbage N         N stray bytes between messages (never forming a message; default 0)\n"
    "  --messages N        stop after N messages (default 0 = until interrupted)\n"
    "  --delay SECONDS     wait this long before the first message (default 0)\n"
    "  --linger SECONDS    keep the line open this long after the last message (default 1)\n"
    "  --track TEXT        follow a simulated track (default: $QUILLMAR_SIMULATED_TRACK when set;\n"
    "                      \"off\" ignores it)\n"
    "  --help              this text\n"
    "\n"
    "A track is comma-separated key=value items: start=UNIX_MS (required; the moment the train\n"
    "sets off, e.g. $(date +%s%3N)), profile=constant|accelerating|stopping, speed=M_PER_S,\n"
    "seed=N, mm_per_count=X (default 1), px_per_mm=X, change=missing@MM or hanging@MM.\n"
    "With a track each tick of --rate works out the count as --start plus the distance\n"
    "travelled divided by mm_per_count, and sends it only when it differs from the last one\n"
    "sent: like a real odometer, a standing train sends nothing. The first tick always sends.\n"
    "--step, --back-every and --back-by do not apply to a track.\n";

volatile std::sig_atomic_t stop_requested = 0;
void on_signal(int) { stop_requested = 1; }

struct options {
    int format = 7;
    double rate = 100;
    std::uint32_t start = 0;
    std::uint32_t step = 1;
    std::uint64_t back_every = 0;
    std::uint32_t back_by = 100;
    unsigned garbage = 0;
    std::uint64_t messages = 0;
    double linger = 1;
    double delay = 0;
    std::optional<simulated_track> track;
};

options parse(int argc, char** argv) {
    options o;
    bool track_given = false;
    bool steps_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(a + ": missing value");
            return argv[++i];
        };
        if (a == "--format") {
            const auto v = value();
            if (v != "4" && v != "7") throw std::runtime_error("--format: must be 4 or 7, not \"" + v + "\"");
            o.format = v == "4" ? 4 : 7;
        } else if (a == "--rate") {
            o.rate = static_cast<double>(tool_args::parse_number(a, value(), 100000));
            if (o.rate < 1) throw std::runtime_error("--rate: must be at least 1");
        } else if (a == "--start") {
            o.start = static_cast<std::uint32_t>(tool_args::parse_number(a, value(), 0xFFFFFFFF));
        } else if (a == "--step") {
            o.step = static_cast<std::uint32_t>(tool_args::parse_number(a, value(), 0xFFFFFFFF));
            steps_given = true;
        } else if (a == "--back-every") {
            o.back_every = tool_args::parse_number(a, value(), UINT64_MAX);
            steps_given = true;
        } else if (a == "--back-by") {
            o.back_by = static_cast<std::uint32_t>(tool_args::parse_number(a, value(), 0xFFFFFFFF));
            steps_given = true;
        } else if (a == "--garbage") {
            o.garbage = static_cast<unsigned>(tool_args::parse_number(a, value(), 1000));
        } else if (a == "--messages") {
            o.messages = tool_args::parse_number(a, value(), UINT64_MAX);
        } else if (a == "--delay") {
            o.delay = static_cast<double>(tool_args::parse_number(a, value(), 3600));
        } else if (a == "--linger") {
            o.linger = static_cast<double>(tool_args::parse_number(a, value(), 3600));
        } else if (a == "--track") {
            const std::string text = value();
            track_given = true;
            if (text != "off") {
                std::string problem;
                o.track = parse_simulated_track(text, &problem);
                if (!o.track) throw std::runtime_error("--track: " + problem);
            }
        } else {
            throw std::runtime_error("unknown argument: " + a);
        }
    }
    if (!track_given) {
        std::string problem;
        o.track = simulated_track_from_environment(&problem);
        if (!problem.empty()) throw std::runtime_error(problem);
    }
    if (o.track && steps_given) throw std::runtime_error("--step, --back-every and --back-by do not apply to a track");
    return o;
}

// A stray byte that cannot take part in a valid message: tag 11 for format 4 (it can only
// end one, and the byte before it never has tag 10 here), never 'S' or 4 for format 7.
std::uint8_t garbage_byte(int format, std::mt19937& rng) {
    if (format == 4) return static_cast<std::uint8_t>(0xC0 | (rng() & 0x3F));
    std::uint8_t b;
    do b = static_cast<std::uint8_t>(rng());
    while (b == 0x53 || b == 0x04);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    auto parsed = tool_args::options_or_exit("quillmar-odometer-sim", usage, argc, argv, exit_code,
                                             [&] { return parse(argc, argv); });
    if (!parsed) return exit_code;
    options o = std::move(*parsed);
    // Without SA_RESTART: a signal interrupts the wait for room on a full line at once.
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    try {
        pseudo_terminal line;
        std::cout << line.device_path() << std::endl;

        const auto delay_end = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.delay);
        while (!stop_requested && std::chrono::steady_clock::now() < delay_end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));

        std::mt19937 rng(7);
        std::vector<std::uint8_t> bytes;
        // False when the message could not go out (stopped, or the line is gone).
        const auto send = [&](std::uint32_t count) {
            bytes.clear();
            if (o.format == 4) {
                const auto m = encode_odometer4(count);
                bytes.assign(m.begin(), m.end());
            } else {
                const auto m = encode_odometer7(count);
                bytes.assign(m.begin(), m.end());
            }
            for (unsigned g = 0; g < o.garbage; ++g) bytes.push_back(garbage_byte(o.format, rng));
            if (line.write(bytes.data(), bytes.size(), [] { return stop_requested != 0; })) return true;
            if (!stop_requested) std::cerr << "quillmar-odometer-sim: the line was closed\n";
            return false;
        };
        std::uint32_t count = o.start;
        std::optional<std::uint32_t> last_sent;
        std::uint64_t sent = 0;
        std::uint64_t ticks = 0;
        const auto begin = std::chrono::steady_clock::now();
        const auto period = std::chrono::duration<double>(1.0 / o.rate);
        while (!stop_requested && (o.messages == 0 || sent < o.messages)) {
            if (o.track) {
                count = o.track->count_at(o.track->distance_at(std::chrono::system_clock::now()), o.start);
                if (count != last_sent) {
                    if (!send(count)) break;
                    ++sent;
                    last_sent = count;
                }
            } else {
                if (!send(count)) break;
                ++sent;
                if (o.back_every != 0 && (sent + 1) % o.back_every == 0)
                    count -= o.back_by;
                else
                    count += o.step;
            }
            ++ticks;
            std::this_thread::sleep_until(
                begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * double(ticks)));
        }
        const auto linger_end = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.linger);
        while (!stop_requested && std::chrono::steady_clock::now() < linger_end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::cout << "sent " << sent << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "quillmar-odometer-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
