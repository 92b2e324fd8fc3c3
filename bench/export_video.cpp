// Video export against the bare encoder, side by side in one run: a database of N camera-like
// JPEG frames (default 1,000 of 1920 x 1200); export_video() of the whole range (read, decode
// straight into the luma plane, encode, write the MP4) against the same libavcodec encoder with
// the same settings fed the frames already decoded (a copy of each picture into the encoder's
// frame, the same MP4 writing). Rounds alternate which goes first.
// Options: --frames N, --width, --height, --rounds N (default 1), --preset NAME (libx264's).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <leveldb/db.h>
#include <opencv2/core.hpp>

#include "bench/database_bench_util.h"
#include "database/database_layout.h"
#include "database/frame_image.h"
#include "database/recording_database.h"
#include "export/video_export.h"

namespace fs = std::filesystem;

namespace {

std::string option_text(int argc, char** argv, const std::string& name, const std::string& def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return argv[i + 1];
    return def;
}

void must(int r) {
    if (r < 0) {
        std::fprintf(stderr, "FFmpeg error %d\n", r);
        std::abort();
    }
}

// The encoder as export_video() sets it up, fed decoded pictures.
void encode_decoded(const std::vector<cv::Mat>& pictures, const fs::path& file, const video_options& o) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVFormatContext* out = nullptr;
    must(avformat_alloc_output_context2(&out, nullptr, "mp4", file.c_str()));
    AVCodecContext* enc = avcodec_alloc_context3(codec);
    const AVRational rate = av_d2q(o.fps, 65535);
    enc->width = pictures[0].cols;
    enc->height = pictures[0].rows;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->color_range = AVCOL_RANGE_JPEG;
    enc->time_base = av_inv_q(rate);
    enc->framerate = rate;
    enc->gop_size = static_cast<int>(o.fps * 2);
    enc->thread_count = 0;
    av_opt_set(enc->priv_data, "preset", o.preset.c_str(), 0);
    av_opt_set(enc->priv_data, "crf", std::to_string(o.crf).c_str(), 0);
    if (out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    must(avcodec_open2(enc, codec, nullptr));
    AVStream* stream = avformat_new_stream(out, nullptr);
    stream->time_base = enc->time_base;
    must(avcodec_parameters_from_context(stream->codecpar, enc));
    must(avio_open(&out->pb, file.c_str(), AVIO_FLAG_WRITE));
    must(avformat_write_header(out, nullptr));
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = enc->width;
    frame->height = enc->height;
    must(av_frame_get_buffer(frame, 0));
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < enc->height / 2; ++y)
            std::memset(frame->data[p] + y * frame->linesize[p], 128, enc->width / 2);
    AVPacket* packet = av_packet_alloc();
    auto drain = [&](const AVFrame* f) {
        must(avcodec_send_frame(enc, f));
        while (avcodec_receive_packet(enc, packet) == 0) {
            av_packet_rescale_ts(packet, enc->time_base, stream->time_base);
            must(av_interleaved_write_frame(out, packet));
        }
    };
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        must(av_frame_make_writable(frame));
        for (int y = 0; y < enc->height; ++y)
            std::memcpy(frame->data[0] + y * frame->linesize[0], pictures[i].ptr(y), enc->width);
        frame->pts = static_cast<std::int64_t>(i);
        drain(frame);
    }
    drain(nullptr);
    must(av_write_trailer(out));
    avio_closep(&out->pb);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    avformat_free_context(out);
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    const auto [frames, width, height] = bench_db::frame_run_options(argc, argv, {1000, 1920, 1200});
    const int rounds = static_cast<int>(bench_db::option(argc, argv, "--rounds", 1));
    video_options options;
    options.preset = option_text(argc, argv, "--preset", options.preset);
    bench_db::scratch dir;
    const fs::path db_path = dir.path() / "db";
    // The decoded pictures are the stored JPEGs decoded once, so both encode the same content
    // (and the run needs only the strip or the pictures in memory, never both at once).
    std::vector<cv::Mat> pictures;
    bench_db::record_strip(db_path, width, height, frames, 8);
    {
        auto db = open_leveldb(db_path.string(), false);
        std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
        for (it->SeekToFirst(); it->Valid() && is_frame_key(it->key().ToString()); it->Next()) {
            cv::Mat bgr = decode_frame(std::string_view(it->value().data(), it->value().size()));
            cv::Mat grey;
            cv::extractChannel(bgr, grey, 0);
            pictures.push_back(grey);
        }
    }
    std::printf("%d frames of %d x %d, libx264 preset %s, crf %d, %u threads on this machine\n", frames, width, height,
                options.preset.c_str(), options.crf, std::thread::hardware_concurrency());

    auto run_encoder = [&] {
        const auto start = std::chrono::steady_clock::now();
        encode_decoded(pictures, dir.path() / "bare.mp4", options);
        return bench_db::seconds_since(start);
    };
    auto run_export = [&] {
        const auto start = std::chrono::steady_clock::now();
        auto db = open_leveldb(db_path.string(), false);
        const video_result r = export_video(*db, {0, 4294967295u}, dir.path() / "export.mp4", options, {});
        if (r.frames != static_cast<std::uint64_t>(frames)) std::abort();
        return bench_db::seconds_since(start);
    };
    std::vector<double> ratios;
    double total_encoder = 0, total_export = 0;
    for (int r = 0; r < rounds; ++r) {
        const double a = r % 2 ? run_export() : run_encoder();
        const double b = r % 2 ? run_encoder() : run_export();
        const double t_encoder = r % 2 ? b : a, t_export = r % 2 ? a : b;
        total_encoder += t_encoder;
        total_export += t_export;
        ratios.push_back(t_encoder / t_export);
        std::printf("round %d: encoder alone %.2f s (%.1f frames/s), export %.2f s (%.1f frames/s), ratio %.2f\n", r,
                    t_encoder, frames / t_encoder, t_export, frames / t_export, t_encoder / t_export);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("export throughput / encoder-alone throughput: total %.2f, median of rounds %.2f (goal >= 0.7)\n",
                total_encoder / total_export, ratios[ratios.size() / 2]);
}
