// quillmar-client: a command-line client of the recorder's three network services, for
// integrators and tests: find recorders (discover), fetch one frame as PNG (frame), send one
// remote command (rc).
#include "net/discovery_protocol.h"
#include "net/discovery_service.h"
#include "net/service_client.h"
#include "tools/tool_args.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const usage =
    "usage: quillmar-client discover [--to ADDRESS] [--port P] [--service any|NAME] [--timeout S]\n"
    "       quillmar-client frame --host H [--port P] [--session FIRST SECOND] --count N -o FILE.png\n"
    "       quillmar-client rc --host H [--port P] start|stop|session FIRST SECOND|code N\n"
    "\n"
    "discover  sends the UDP discovery query (default to 255.255.255.255, port 12800, service\n"
    "          \"any\") and prints each answer as \"SENDER SERVICE\" for --timeout seconds\n"
    "          (default 2). Exit status 0 when some recorder answered, 1 when none did.\n"
    "frame     asks the image data service (default port 12600) for the frame at or after\n"
    "          odometer count N of the named session, or of the recording in progress without\n"
    "          --session, and writes the PNG. Exit status 0 when an image came, 1 when the\n"
    "          answer was the 4 zero bytes (no image).\n"
    "rc        sends one command to the remote-control service (default port 12700): start\n"
    "          (code 1), stop (2), session FIRST SECOND (3), or any code N; waits for the\n"
    "          1024-byte acknowledgement. Exit status 0 when it came.\n"
    "\n"
    "Session parts are bytes in the locale's encoding: FIRST at most 19 bytes, SECOND at most\n"
    "15 (frame) or 995 (rc). Exit status 2 on bad arguments or any error (a refused\n"
    "connection, a time-out).\n"
    "  --help    this text\n";

const char* const tool = "quillmar-client";
constexpr auto network_timeout = std::chrono::seconds(10);

struct options {
    std::string command;
    std::string host;
    std::optional<std::uint16_t> port;
    std::string to = "255.255.255.255";
    std::string service = "any";
    std::chrono::milliseconds timeout{2000};
    std::optional<std::pair<std::string, std::string>> session;
    std::optional<std::uint32_t> count;
    std::string output;
    rc_command rc;
};

std::chrono::milliseconds parse_seconds(const std::string& text) {
    std::size_t used = 0;
    double seconds = -1;
    try {
        if (!text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
            seconds = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !(seconds >= 0) || seconds > 3600)
        throw std::runtime_error("--timeout: not a number of seconds: \"" + text + "\"");
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

options parse(int argc, char** argv) {
    if (argc < 2) throw std::runtime_error("missing command (discover, frame or rc)");
    options o;
    o.command = argv[1];
    if (o.command != "discover" && o.command != "frame" && o.command != "rc")
        throw std::runtime_error("unknown command \"" + o.command + "\"");
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(a + ": missing value");
            return argv[++i];
        };
        const bool tcp = o.command != "discover";
        if (a == "--port") {
            o.port = static_cast<std::uint16_t>(tool_args::parse_number(a, value(), 65535));
        } else if (tcp && a == "--host") {
            o.host = value();
        } else if (!tcp && a == "--to") {
            o.to = value();
        } else if (!tcp && a == "--service") {
            o.service = value();
        } else if (!tcp && a == "--timeout") {
            o.timeout = parse_seconds(value());
        } else if (o.command == "frame" && a == "--session") {
            const std::string first = value();
            o.session = std::make_pair(first, value());
        } else if (o.command == "frame" && a == "--count") {
            o.count = static_cast<std::uint32_t>(tool_args::parse_number(a, value(), 4294967295u));
        } else if (o.command == "frame" && (a == "-o" || a == "--output")) {
            o.output = value();
        } else if (a.rfind("-", 0) == 0 && a.size() > 1 && !(o.command == "rc" && !positional.empty())) {
            throw std::runtime_error("unknown option \"" + a + "\" for " + o.command);
        } else {
            positional.push_back(a);
        }
    }
    if (o.command != "discover" && o.host.empty()) throw std::runtime_error("--host is required");
    if (o.command == "discover" && !positional.empty())
        throw std::runtime_error("unexpected argument \"" + positional[0] + "\"");
    if (o.command == "frame") {
        if (!positional.empty()) throw std::runtime_error("unexpected argument \"" + positional[0] + "\"");
        if (!o.count) throw std::runtime_error("--count is required");
        if (o.output.empty()) throw std::runtime_error("-o FILE.png is required");
        if (o.session) encode_image_request({o.session->first, o.session->second, 0});  // checks the lengths
    }
    if (o.command == "rc") {
        if (positional.empty()) throw std::runtime_error("missing command: start, stop, session or code");
        const std::string& what = positional[0];
        std::size_t expected = 1;
        if (what == "start") {
            o.rc.code = 1;
        } else if (what == "stop") {
            o.rc.code = 2;
        } else if (what == "session") {
            if (positional.size() < 3) throw std::runtime_error("session: needs FIRST and SECOND");
            o.rc = {3, positional[1], positional[2]};
            expected = 3;
        } else if (what == "code") {
            if (positional.size() < 2) throw std::runtime_error("code: needs N");
            o.rc.code = static_cast<std::uint32_t>(tool_args::parse_number("code", positional[1], 4294967295u));
            expected = 2;
        } else {
            throw std::runtime_error("unknown rc command \"" + what + "\"");
        }
        if (positional.size() > expected)
            throw std::runtime_error("unexpected argument \"" + positional[expected] + "\"");
        encode_rc_command(o.rc);  // checks the lengths
    }
    return o;
}

int run_discover(const options& o) {
    const auto replies = discover(o.to, o.port.value_or(discovery_service::default_port), o.service, o.timeout);
    int answers = 0;
    for (const auto& r : replies) {
        const auto service = discovery_answer_service(r.text);
        if (!service) continue;  // not an answer (a query of someone else, noise)
        std::cout << r.sender << " " << *service << std::endl;
        ++answers;
    }
    if (answers == 0) std::cerr << tool << ": no answer within the time-out\n";
    return answers > 0 ? 0 : 1;
}

int run_frame(const options& o) {
    service_connection connection(o.host, o.port.value_or(12600), network_timeout);
    image_request request;
    if (o.session) request.first = o.session->first, request.second = o.session->second;
    request.count = *o.count;
    const auto png = connection.fetch(request);
    if (png.empty()) {
        std::cout << "no image (the answer was 4 zero bytes)" << std::endl;
        return 1;
    }
    std::ofstream out(o.output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write \"" + o.output + "\"");
    std::cout << "wrote " << png.size() << " bytes to " << o.output << std::endl;
    return 0;
}

int run_rc(const options& o) {
    service_connection connection(o.host, o.port.value_or(12700), network_timeout);
    connection.command(o.rc);
    std::cout << "acknowledged" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    auto parsed = tool_args::options_or_exit(tool, usage, argc, argv, exit_code, [&] { return parse(argc, argv); });
    if (!parsed) return exit_code;
    try {
        if (parsed->command == "discover") return run_discover(*parsed);
        if (parsed->command == "frame") return run_frame(*parsed);
        return run_rc(*parsed);
    } catch (const std::exception& e) {
        std::cerr << tool << ": " << e.what() << "\n";
        return 2;
    }
}
