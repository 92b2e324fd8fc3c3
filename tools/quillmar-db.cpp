// quillmar-db: recorded databases from the command line, for field engineers and scripts.
//
//   quillmar-db list DIR                 one tab-separated line per database under DIR
//   quillmar-db info DB                  every metadata key and value, and the frame key count
//   quillmar-db frame DB COUNT -o FILE   the stored JPEG of the frame at or after COUNT
//   quillmar-db export DB ...            the frames of a count range as files and/or a video
//
// Errors go to standard error with a non-zero exit: 1 when the work failed, 2 for bad usage.
#include "base/thread_name.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <leveldb/db.h>
#include <wx/init.h>

extern "C" {
#include <libavutil/log.h>
}

#include "database/database_layout.h"
#include "database/database_scan.h"
#include "base/locale_text.h"
#include "export/export_job.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "tools/tool_args.h"

namespace {

const char* const usage_text =
    "Usage:\n"
    "  quillmar-db list DIR\n"
    "      One line per recorded database under DIR, fields separated by tabs:\n"
    "      path, session, side, start time, end time, first odometer count,\n"
    "      last odometer count, size in bytes, number of frame writes.\n"
    "      Folders that cannot be read are named on standard error.\n"
    "  quillmar-db info DB\n"
    "      Every metadata key and its value (key, tab, value), then the line\n"
    "      \"frame keys<TAB>N\" with the number of frame keys.\n"
    "  quillmar-db frame DB COUNT -o FILE\n"
    "      Writes the stored JPEG bytes of the first frame at or after the\n"
    "      odometer count COUNT to FILE, unchanged.\n"
    "  quillmar-db export DB [--from N] [--to M] [-o DIR] [--video FILE.mp4]\n"
    "                        [--fps F] [--scale-bar] [--scale PX_PER_MM]\n"
    "      Exports the frames whose odometer counts lie from N to M (both included;\n"
    "      by default the whole database). With -o DIR: each stored JPEG byte for\n"
    "      byte as DIR/<frame key>.jpg, plus DIR/index.csv (count, file, bytes).\n"
    "      With --video: an H.264 MP4 with one video frame per stored frame at F\n"
    "      frames per second (default 25); --scale-bar burns the millimetre scale\n"
    "      into each frame, at the `scale` setting of ~/Velkor3/config/.quillmar\n"
    "      (default 0.8 pixels per millimetre) or PX_PER_MM. Files appear only when\n"
    "      the whole export succeeded; Ctrl-C cancels and leaves nothing behind.\n"
    "      Exit code 130 when cancelled.\n"
    "  quillmar-db --help\n";

int usage_error(const std::string& message) {
    std::cerr << "quillmar-db: " << message << "\n" << usage_text;
    return 2;
}

int failure(const std::string& message) {
    std::cerr << "quillmar-db: " << message << "\n";
    return 1;
}

void use_locale() {
    // Stored texts are in the locale's multibyte form; without any locale use UTF-8.
    const char* name = std::setlocale(LC_ALL, "");
    if (!name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) std::setlocale(LC_ALL, "C.UTF-8");
}

int list_command(const std::string& dir) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return failure("cannot list " + dir + ": not a directory");
    scan_callbacks callbacks;
    callbacks.found = [](const std::wstring& folder, const ldb_info& s) {
        std::cout << to_narrow(folder) << '\t' << to_narrow(s.session) << '\t' << to_narrow(s.side) << '\t'
                  << to_narrow(s.time_start) << '\t' << to_narrow(s.time_end) << '\t' << s.dpp_start << '\t'
                  << s.dpp_end << '\t' << s.size << '\t' << s.count << '\n';
    };
    callbacks.failed = [](const std::wstring& folder, const std::string& reason) {
        std::cerr << "quillmar-db: cannot read " << to_narrow(folder) << ": " << reason << '\n';
    };
    scan_databases(to_wide(dir), callbacks);
    std::cout.flush();
    return 0;
}

int info_command(const std::string& path) {
    // Read-only: looking at a recording changes none of its files.
    const auto handle = open_leveldb_read_only(path);
    leveldb::DB* db = handle->db.get();
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    std::size_t frames = 0;
    for (it->SeekToFirst(); it->Valid(); it->Next()) {
        const std::string key = it->key().ToString();
        if (is_frame_key(key)) {
            ++frames;
            continue;
        }
        std::cout << key << '\t' << it->value().ToString() << '\n';
    }
    if (!it->status().ok()) return failure(path + ": " + it->status().ToString());
    std::cout << "frame keys\t" << frames << '\n';
    return 0;
}

bool parse_odometer_count(const std::string& text, std::uint32_t& count) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 4294967295u) return false;
    count = static_cast<std::uint32_t>(value);
    return true;
}

int frame_command(const std::string& path, const std::string& count_text, const std::string& out) {
    std::uint32_t count = 0;
    if (!parse_odometer_count(count_text, count))
        return usage_error("COUNT must be an odometer count from 0 to 4294967295, not \"" + count_text + "\"");
    // Read-only: looking at a recording changes none of its files.
    const auto handle = open_leveldb_read_only(path);
    leveldb::DB* db = handle->db.get();
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    it->Seek(make_frame_key(count));
    if (!it->status().ok()) return failure(path + ": " + it->status().ToString());
    // A metadata key found at or after COUNT is not a frame.
    if (!it->Valid() || !is_frame_key(it->key().ToString()))
        return failure("no frame at or after " + std::to_string(count) + " in " + path);
    const leveldb::Slice bytes = it->value();
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (file) file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (file) file.close();
    if (!file) return failure("cannot write " + out + ": " + std::strerror(errno));
    return 0;
}

struct export_args {
    export_request request;
    bool scale_given = false;
};

export_args parse_export(const std::vector<std::string>& args) {
    export_args parsed;
    export_request& r = parsed.request;
    r.range = {0, 4294967295u};
    std::vector<std::string> positional;
    bool fps_given = false, scale_bar = false;
    auto value = [&](std::size_t& i) -> const std::string& {
        if (i + 1 >= args.size()) throw std::runtime_error(args[i] + " needs a value");
        return args[++i];
    };
    auto once = [](bool& seen, const std::string& option) {
        if (seen) throw std::runtime_error(option + " given twice");
        seen = true;
    };
    bool from_seen = false, to_seen = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--from") {
            once(from_seen, a);
            r.range.from = static_cast<std::uint32_t>(tool_args::parse_number(a, value(i), 4294967295u));
        } else if (a == "--to") {
            once(to_seen, a);
            r.range.to = static_cast<std::uint32_t>(tool_args::parse_number(a, value(i), 4294967295u));
        } else if (a == "-o") {
            if (r.frames_dir) throw std::runtime_error("-o given twice");
            r.frames_dir = value(i);
        } else if (a == "--video") {
            if (r.video_file) throw std::runtime_error("--video given twice");
            r.video_file = value(i);
        } else if (a == "--fps") {
            once(fps_given, a);
            const std::string& text = value(i);
            std::size_t used = 0;
            double fps = 0;
            try {
                fps = std::stod(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != text.size() || !(fps >= 0.1 && fps <= 1000))
                throw std::runtime_error("--fps: a frame rate from 0.1 to 1000, not \"" + text + "\"");
            r.video.fps = fps;
        } else if (a == "--scale-bar") {
            once(scale_bar, a);
        } else if (a == "--scale") {
            once(parsed.scale_given, a);
            const std::string& text = value(i);
            std::size_t used = 0;
            try {
                r.video.scale = std::stod(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != text.size() || !(r.video.scale > 0 && r.video.scale <= 1000))
                throw std::runtime_error("--scale: pixels per millimetre above 0, not \"" + text + "\"");
        } else if (!a.empty() && a[0] == '-') {
            throw std::runtime_error("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 1) throw std::runtime_error("export takes one database folder");
    r.database = positional[0];
    if (r.range.from > r.range.to) throw std::runtime_error("--from is after --to");
    if (!r.frames_dir && !r.video_file) throw std::runtime_error("export needs -o DIR, --video FILE.mp4 or both");
    if (!r.video_file && (fps_given || scale_bar || parsed.scale_given))
        throw std::runtime_error("--fps, --scale-bar and --scale belong to --video");
    if (parsed.scale_given && !scale_bar) throw std::runtime_error("--scale needs --scale-bar");
    r.video.scale_bar = scale_bar;
    return parsed;
}

double scale_setting() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return settings_defaults::scale;
    wxInitializer wx;  // the settings store is a wxFileConfig
    settings_store store(wxString::FromUTF8(home) + "/Velkor3/config/.quillmar");
    return store.read_double(settings_keys::scale, settings_defaults::scale);
}

// Ctrl-C or a termination request cancels the export, which then removes what it wrote.
// The signals are taken by a thread of ours (sigtimedwait), so no handler state is needed.
class cancel_on_signal {
public:
    explicit cancel_on_signal(std::atomic<bool>& cancel) : cancel_(cancel) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        watcher_ = std::thread([this] {
            name_this_thread("qm-db-signals");
            const timespec tick{0, 100'000'000};
            while (!done_.load())
                if (sigtimedwait(&set_, nullptr, &tick) > 0) cancel_.store(true);
        });
    }
    ~cancel_on_signal() {
        done_.store(true);
        watcher_.join();
    }

private:
    std::atomic<bool>& cancel_;
    sigset_t set_;
    std::atomic<bool> done_{false};
    std::thread watcher_;  // last: starts after the members it reads
};

int export_command(const std::vector<std::string>& args) {
    export_args parsed;
    try {
        parsed = parse_export(args);
    } catch (const std::exception& e) {
        return usage_error(e.what());
    }
    export_request& request = parsed.request;
    if (request.video.scale_bar && !parsed.scale_given) request.video.scale = scale_setting();
    av_log_set_level(AV_LOG_ERROR);

    std::atomic<bool> cancel{false};
    export_outcome outcome;
    {
        cancel_on_signal signals(cancel);
        export_control control;
        control.cancel = &cancel;
        outcome = run_export(request, control);
    }
    if (outcome.state == export_outcome::status::failed) return failure(describe(request, outcome));
    if (outcome.state == export_outcome::status::cancelled) {
        std::cerr << "quillmar-db: " << describe(request, outcome) << '\n';
        return 130;
    }
    std::cout << describe(request, outcome) << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    use_locale();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error("no command given");
    for (const auto& arg : args)
        if (arg == "--help" || arg == "-h") {
            std::cout << usage_text;
            return 0;
        }
    const std::string command = args[0];
    try {
        if (command == "list") {
            if (args.size() != 2) return usage_error("list takes one directory");
            return list_command(args[1]);
        }
        if (command == "info") {
            if (args.size() != 2) return usage_error("info takes one database folder");
            return info_command(args[1]);
        }
        if (command == "frame") {
            std::vector<std::string> positional;
            std::string out;
            for (std::size_t i = 1; i < args.size(); ++i) {
                if (args[i] == "-o") {
                    if (i + 1 >= args.size()) return usage_error("-o needs a file name");
                    if (!out.empty()) return usage_error("-o given twice");
                    out = args[++i];
                } else {
                    positional.push_back(args[i]);
                }
            }
            if (positional.size() != 2) return usage_error("frame takes DB and COUNT");
            if (out.empty()) return usage_error("frame needs -o FILE");
            return frame_command(positional[0], positional[1], out);
        }
        if (command == "export") return export_command(args);
        return usage_error("unknown command \"" + command + "\"");
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}
