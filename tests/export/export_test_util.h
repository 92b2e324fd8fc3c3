#pragma once
// Databases to export from, and an independent look at what an export wrote: the folder's
// entries and the MP4 as libavformat reads it back.
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include <opencv2/core.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "database/database_layout.h"
#include "database/frame_image.h"
#include "tests/database/db_test_util.h"

namespace export_test {

// libx264 reports its settings and statistics on every video; only errors are wanted here.
inline void quiet_ffmpeg() { av_log_set_level(AV_LOG_ERROR); }

// Frames (JPEG as the recorder stores them) at the given counts, plus the metadata keys.
inline std::map<std::string, std::string> write_db(const std::filesystem::path& path,
                                                   const std::map<std::uint32_t, cv::Mat>& frames) {
    std::map<std::string, std::string> keys;
    std::vector<unsigned char> jpeg;
    for (const auto& [count, image] : frames) {
        encode_frame(image, jpeg);
        keys[make_frame_key(count)] = std::string(jpeg.begin(), jpeg.end());
    }
    keys["dpp_start"] = make_frame_key(frames.begin()->first);
    keys["dpp_end"] = make_frame_key(frames.rbegin()->first);
    keys["count"] = format_count(frames.size());
    keys["version"] = "1";
    db_test::write_raw(path.string(), keys);
    return keys;
}

inline std::map<std::uint32_t, cv::Mat> frames_at(std::initializer_list<std::uint32_t> counts, int width = 64,
                                                  int height = 48) {
    std::map<std::uint32_t, cv::Mat> out;
    for (auto c : counts) out[c] = db_test::test_frame(static_cast<int>(c * 7), width, height);
    return out;
}

// Every entry of dir (hidden ones included), by name.
inline std::set<std::string> entries(const std::filesystem::path& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.insert(e.path().filename().string());
    return out;
}

struct mp4_facts {
    bool opened = false;
    std::string codec;
    int width = 0, height = 0;
    int packets = 0;  // video packets = encoded frames
    double fps = 0;
};

inline mp4_facts read_mp4(const std::filesystem::path& file) {
    mp4_facts facts;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, file.c_str(), nullptr, nullptr) < 0) return facts;
    if (avformat_find_stream_info(in, nullptr) >= 0) {
        const int v = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (v >= 0) {
            facts.opened = true;
            const AVCodecParameters* par = in->streams[v]->codecpar;
            facts.codec = avcodec_get_name(par->codec_id);
            facts.width = par->width;
            facts.height = par->height;
            facts.fps = av_q2d(in->streams[v]->avg_frame_rate);
            AVPacket* packet = av_packet_alloc();
            while (av_read_frame(in, packet) >= 0) {
                if (packet->stream_index == v) ++facts.packets;
                av_packet_unref(packet);
            }
            av_packet_free(&packet);
        }
    }
    avformat_close_input(&in);
    return facts;
}

}  // namespace export_test
