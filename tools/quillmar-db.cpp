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
#include <unistd.h>

#include <algorithm>
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
#include "database/database_reader.h"
#include "database/database_scan.h"
#include "database/folder_locks.h"
#include "depot/depot_recording.h"
#include "depot/depot_settings.h"
#include "base/locale_text.h"
#include "export/export_job.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "tools/tool_args.h"
#include "viewer/run_differences.h"

namespace {

const char* const compare_usage_text =
    "  quillmar-db compare A B -o DIR\n"
    "      Walks two runs over the same train together (A's frames in order, each\n"
    "      paired with B's frame of the same place, following the odometers' drift)\n"
    "      and writes DIR/differences.csv, one row per pair that differs beyond the\n"
    "      frames' noise: count_a,count_b,dx,dy,match,changed_px (the shift of B\n"
    "      against A in pixels, the match strength 0-1, the changed area in pixels),\n"
    "      and each row's frames as stored: DIR/<count_a>_a.jpg, DIR/<count_b>_b.jpg.\n"
    "      Exit code 1 when the runs do not match (nothing written), 130 when\n"
    "      cancelled.\n";

const char* const usage_text =
    "Usage:\n"
    "  quillmar-db list DIR\n"
    "      One line per recorded database under DIR, fields separated by tabs:\n"
    "      path, session, side, start time, end time, first odometer count,\n"
    "      last odometer count, size in bytes, number of frame writes.\n"
    "      Folders that cannot be read are named on standard error; the exit status\n"
    "      stays 0 whenever DIR itself could be listed.\n"
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
    "  quillmar-db push DB|DIR\n"
    "      Uploads the recording DB (or every recording under DIR, oldest first) to the\n"
    "      depot named by the depot_* settings of ~/Velkor3/config/.quillmar, resuming\n"
    "      an earlier upload; exit 0 only when every one is verified in the depot.\n"
    "  quillmar-db depot list\n"
    "      One line per recording in the depot: side/folder, session, frame count,\n"
    "      first and last odometer count, host, and whether it is whole.\n"
    "  quillmar-db pull NAME -o DIR\n"
    "      Downloads the recording NAME (folder or side/folder) into DIR/<folder>,\n"
    "      checking every file's checksum.\n";

// The whole usage: every subcommand, then --help.
void print_usage(std::ostream& out) { out << usage_text << compare_usage_text << "  quillmar-db --help\n"; }

int usage_error(const std::string& message) {
    std::cerr << "quillmar-db: " << message << "\n";
    print_usage(std::cerr);
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
    // A folder that is no readable database is named on stderr and the listing goes on: the
    // exit status stays 0 whenever DIR itself could be listed, so scripts still get the rest.
    callbacks.failed = [](const std::wstring& folder, const std::string& reason) {
        const bool empty = database_has_frames(folder) == false;
        std::cerr << "quillmar-db: cannot read " << to_narrow(folder) << ": " << (empty ? "no frames" : reason)
                  << '\n';
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

depot_settings read_depot_settings() {
    wxInitializer wx;  // the settings store is a wxFileConfig
    settings_store store(wxString::FromUTF8(depot_settings_path()));
    return load_depot_settings(store);
}

int push_command(const std::string& target) {
    std::error_code ec;
    if (!std::filesystem::is_directory(target, ec)) return failure(target + ": not a directory");
    std::vector<std::filesystem::path> recordings;
    if (std::filesystem::exists(std::filesystem::path(target) / "CURRENT", ec)) {
        recordings.push_back(target);
    } else {
        for (const auto& entry : std::filesystem::directory_iterator(target, ec))
            if (entry.is_directory() && std::filesystem::exists(entry.path() / "CURRENT"))
                recordings.push_back(entry.path());
        // Oldest first: the recording written longest ago has waited longest.
        std::sort(recordings.begin(), recordings.end(), [](const auto& a, const auto& b) {
            std::error_code e;
            return std::filesystem::last_write_time(a / "CURRENT", e) < std::filesystem::last_write_time(b / "CURRENT", e);
        });
    }
    const depot_settings settings = read_depot_settings();
    const std::string& prefix = settings.prefix;
    s3_client client(settings.client_config());
    const bool terminal = isatty(2);
    int failed = 0;
    for (const auto& recording : recordings) {
        // Half a recording in the depot would look whole to nobody, but it costs the link.
        if (recording_folder_use(recording.string()) == folder_use::write) {
            std::cerr << "quillmar-db: " << recording.string() << ": запись ещё идёт, не выгружена\n";
            ++failed;
            continue;
        }
        depot_options options;
        if (terminal)
            options.progress = [&](const depot_progress& p) {
                std::cerr << "\r" << recording.filename().string() << ": " << p.done / 1048576 << " / "
                          << p.total / 1048576 << " МиБ" << std::flush;
            };
        const depot_outcome outcome = push_recording(client, prefix, recording.string(), options);
        if (terminal) std::cerr << '\n';
        if (outcome.ok) {
            std::cout << recording.string() << "\tв депо\n";
        } else {
            std::cerr << "quillmar-db: " << recording.string() << ": " << outcome.reason << '\n';
            ++failed;
            // Nothing else will get through a refused key, a missing bucket or a full store.
            if (outcome.error == s3_error::credentials || outcome.error == s3_error::no_bucket ||
                outcome.error == s3_error::full)
                break;
        }
    }
    return failed || recordings.empty() ? 1 : 0;
}

int depot_list_command() {
    const depot_settings settings = read_depot_settings();
    s3_client client(settings.client_config());
    std::vector<depot_entry> entries;
    const s3_result listed = list_depot(client, settings.prefix, true, entries);
    if (!listed.ok()) return failure(listed.reason);
    for (const auto& e : entries) {
        const recording_manifest& m = e.manifest;
        std::cout << m.side << '/' << m.folder << '\t' << m.session << '\t' << m.frame_count << '\t' << m.first_count
                  << '\t' << m.last_count << '\t' << m.host << '\t' << (e.whole ? "целая" : "неполная: " + e.problem)
                  << '\n';
    }
    return 0;
}

int pull_command(const std::string& name, const std::string& out) {
    const depot_settings settings = read_depot_settings();
    s3_client client(settings.client_config());
    const depot_outcome outcome = pull_recording(client, settings.prefix, name, out, {});
    if (!outcome.ok) return failure(outcome.reason);
    std::cout << (std::filesystem::path(out) / outcome.manifest.folder).string() << '\n';
    return 0;
}


int compare_command(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::string out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-o") {
            if (i + 1 >= args.size()) return usage_error("-o needs a directory");
            if (!out.empty()) return usage_error("-o given twice");
            out = args[++i];
        } else if (!args[i].empty() && args[i][0] == '-') {
            return usage_error("unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2)
        return usage_error("compare takes two database folders");
    if (out.empty()) return usage_error("compare needs -o DIR");
    // Read-only: comparing recordings changes none of their files.
    const database_reader a(to_wide(positional[0])), b(to_wide(positional[1]));

    std::atomic<bool> cancel{false};
    const bool terminal = isatty(STDERR_FILENO) != 0;
    int shown_percent = -1;
    differences_control control;
    control.cancel = &cancel;
    control.progress = [&](double done, std::size_t pairs) {
        const int percent = static_cast<int>(done * 100);
        if (!terminal || percent == shown_percent) return;
        shown_percent = percent;
        std::cerr << "\rcompared " << pairs << " frame pairs (" << percent << " %)" << std::flush;
    };
    differences_outcome outcome;
    {
        cancel_on_signal signals(cancel);
        outcome = find_run_differences(a, b, control);
    }
    if (terminal && shown_percent >= 0) std::cerr << '\n';
    switch (outcome.state) {
    case differences_outcome::status::not_matching: return failure(not_matching_text(outcome));
    case differences_outcome::status::failed: return failure(outcome.error);
    case differences_outcome::status::cancelled: std::cerr << "quillmar-db: compare cancelled\n"; return 130;
    case differences_outcome::status::done: break;
    }
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec) return failure("cannot create " + out + ": " + ec.message());
    write_differences(std::filesystem::path(out) / "differences.csv", outcome.differences, a, b);
    std::cout << outcome.differences.size() << " differences in " << outcome.pairs << " frame pairs";
    if (outcome.unmatched) std::cout << " (" << outcome.unmatched << " frames of A without a pair)";
    std::cout << ", offset " << (outcome.offset >= 0 ? "+" : "") << outcome.offset << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    use_locale();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error("no command given");
    for (const auto& arg : args)
        if (arg == "--help" || arg == "-h") {
            print_usage(std::cout);
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
        if (command == "compare") return compare_command(args);
        if (command == "push") {
            if (args.size() != 2) return usage_error("push takes one database folder or directory");
            return push_command(args[1]);
        }
        if (command == "depot") {
            if (args.size() != 2 || args[1] != "list") return usage_error("depot takes \"list\"");
            return depot_list_command();
        }
        if (command == "pull") {
            if (args.size() != 4 || args[2] != "-o") return usage_error("pull takes NAME -o DIR");
            return pull_command(args[1], args[3]);
        }
        return usage_error("unknown command \"" + command + "\"");
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}
