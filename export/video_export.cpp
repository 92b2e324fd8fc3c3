#include "export/video_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include "export/frame_cursor.h"
#include "export/scale_bar.h"
#include "export/staging.h"

namespace fs = std::filesystem;

namespace {

std::string av_text(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

void check_av(int code, const char* what) {
    if (code < 0) throw export_error(std::string(what) + ": " + av_text(code));
}

// The temporary name is made private (0600, as mkstemp makes it), but the video is a file
// like the exported frames: recreate it empty with 0666 less the umask, as open() would
// create the final name (0644 under the usual umask). The encoder then opens it to write.
void as_created_file(const fs::path& temp) {
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT)
        throw export_error("Не удалось создать файл " + temp.string() + ": " + std::strerror(errno));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw export_error("Не удалось создать файл " + temp.string() + ": " + std::strerror(errno));
    ::close(fd);
}

// Everything FFmpeg and TurboJPEG hand out for one video, released in reverse order.
struct encoder_state {
    tjhandle tj = nullptr;
    AVFormatContext* out = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* sws = nullptr;

    ~encoder_state() {
        sws_freeContext(sws);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&enc);
        if (out) {
            if (out->pb) avio_closep(&out->pb);
            avformat_free_context(out);
        }
        if (tj) tjDestroy(tj);
    }

    // Sends one picture (null: flush) and writes every packet the encoder has ready.
    void encode(const AVFrame* picture) {
        check_av(avcodec_send_frame(enc, picture), "Ошибка кодирования видео");
        for (;;) {
            const int r = avcodec_receive_packet(enc, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check_av(r, "Ошибка кодирования видео");
            av_packet_rescale_ts(packet, enc->time_base, stream->time_base);
            packet->stream_index = stream->index;
            check_av(av_interleaved_write_frame(out, packet), "Ошибка записи видео");
        }
    }
};

struct jpeg_size {
    int width = 0, height = 0;
};

// Far above any camera's frame; a header that claims more is damaged, not a picture to allocate.
constexpr int max_side = 16384;
constexpr long long max_pixels = 64LL << 20;

bool read_size(tjhandle tj, std::string_view jpeg, jpeg_size& size) {
    int subsamp = 0, colorspace = 0;
    return tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(jpeg.data()),
                               static_cast<unsigned long>(jpeg.size()), &size.width, &size.height, &subsamp,
                               &colorspace) == 0 &&
           size.width > 0 && size.height > 0 && size.width <= max_side && size.height <= max_side &&
           static_cast<long long>(size.width) * size.height <= max_pixels;
}

// A warning (a slightly damaged but decoded stream) still gives a picture.
bool decoded(tjhandle tj, int r) { return r == 0 || tjGetErrorCode(tj) == TJERR_WARNING; }

const AVCodec* find_encoder(const std::string& name, std::string& used) {
    const AVCodec* codec = nullptr;
    if (!name.empty()) {
        codec = avcodec_find_encoder_by_name(name.c_str());
        if (!codec) throw export_error("В библиотеке FFmpeg нет кодера видео " + name);
    } else {
        codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
        if (!codec) throw export_error("В библиотеке FFmpeg нет кодера H.264 (libx264) и MPEG-4");
    }
    used = codec->name;
    return codec;
}

}  // namespace

video_result prepare_video(leveldb::DB& db, export_range range, const fs::path& file, const video_options& options,
                           const export_control& control, pending_output& output) {
    if (!(options.fps >= 0.1 && options.fps <= 1000))
        throw export_error("Частота кадров должна быть от 0.1 до 1000 кадров в секунду");
    encoder_state s;
    s.tj = tjInitDecompress();
    if (!s.tj) throw export_error("Не удалось запустить декодер JPEG");

    // The video's size is the first decodable frame's.
    jpeg_size first;
    {
        frame_cursor probe(db, range);
        while (probe.valid() && !read_size(s.tj, probe.value(), first)) probe.next();
        if (first.width == 0) throw export_error("В диапазоне нет ни одного читаемого кадра: " + range_text(range));
    }
    frame_cursor frames(db, range);

    video_result result;
    result.width = even_up(first.width);
    result.height = even_up(first.height);
    const AVCodec* codec = find_encoder(options.encoder, result.encoder);

    const fs::path temp = temporary_beside(file, output);
    output.add_move(temp, file);
    as_created_file(temp);
    check_av(avformat_alloc_output_context2(&s.out, nullptr, "mp4", temp.c_str()), "Не удалось создать MP4");
    s.enc = avcodec_alloc_context3(codec);
    if (!s.enc) throw export_error("Не удалось создать кодер видео");
    const AVRational rate = av_d2q(options.fps, 65535);
    s.enc->width = result.width;
    s.enc->height = result.height;
    s.enc->pix_fmt = AV_PIX_FMT_YUV420P;
    s.enc->color_range = AVCOL_RANGE_JPEG;  // stored grey levels use the full 0 to 255
    s.enc->time_base = av_inv_q(rate);
    s.enc->framerate = rate;
    s.enc->gop_size = std::max(1, static_cast<int>(std::lround(options.fps * 2)));  // a key frame every 2 s
    s.enc->thread_count = 0;
    if (result.encoder == "libx264") {
        av_opt_set(s.enc->priv_data, "preset", options.preset.c_str(), 0);
        av_opt_set(s.enc->priv_data, "crf", std::to_string(options.crf).c_str(), 0);
    } else {
        s.enc->flags |= AV_CODEC_FLAG_QSCALE;
        s.enc->global_quality = FF_QP2LAMBDA * 4;
    }
    if (s.out->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check_av(avcodec_open2(s.enc, codec, nullptr), "Не удалось открыть кодер видео");

    s.stream = avformat_new_stream(s.out, nullptr);
    if (!s.stream) throw export_error("Не удалось создать MP4");
    s.stream->time_base = s.enc->time_base;
    s.stream->avg_frame_rate = rate;
    check_av(avcodec_parameters_from_context(s.stream->codecpar, s.enc), "Не удалось создать MP4");
    check_av(avio_open(&s.out->pb, temp.c_str(), AVIO_FLAG_WRITE), ("Не удалось создать " + temp.string()).c_str());
    check_av(avformat_write_header(s.out, nullptr), "Не удалось записать MP4");

    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (!s.frame || !s.packet) throw export_error("Не хватает памяти для видео");
    s.frame->format = AV_PIX_FMT_YUV420P;
    s.frame->width = result.width;
    s.frame->height = result.height;
    s.frame->color_range = AVCOL_RANGE_JPEG;
    check_av(av_frame_get_buffer(s.frame, 0), "Не хватает памяти для видео");
    // Black luma, neutral chroma: grey pictures need nothing else.
    for (int y = 0; y < result.height; ++y) std::memset(s.frame->data[0] + y * s.frame->linesize[0], 0, result.width);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < result.height / 2; ++y)
            std::memset(s.frame->data[p] + y * s.frame->linesize[p], 128, result.width / 2);

    std::vector<unsigned char> odd;  // a frame of another size, before scaling
    for (; frames.valid(); frames.next()) {
        if (control.cancelled()) {
            result.cancelled = true;
            return result;
        }
        if (control.before_frame) control.before_frame(result.frames);
        // The encoder may still hold the previous picture; it keeps its content if copied.
        check_av(av_frame_make_writable(s.frame), "Не хватает памяти для видео");
        const std::string_view jpeg = frames.value();
        const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
        const auto size = static_cast<unsigned long>(jpeg.size());
        jpeg_size js;
        bool ok = read_size(s.tj, jpeg, js);
        if (ok && js.width == first.width && js.height == first.height) {
            ok = decoded(s.tj, tjDecompress2(s.tj, data, size, s.frame->data[0], js.width, s.frame->linesize[0],
                                             js.height, TJPF_GRAY, TJFLAG_FASTDCT));
        } else if (ok) {
            odd.resize(static_cast<std::size_t>(js.width) * js.height);
            ok = decoded(s.tj, tjDecompress2(s.tj, data, size, odd.data(), js.width, js.width, js.height, TJPF_GRAY,
                                             TJFLAG_FASTDCT));
            if (ok) {
                s.sws = sws_getCachedContext(s.sws, js.width, js.height, AV_PIX_FMT_GRAY8, first.width, first.height,
                                             AV_PIX_FMT_GRAY8, SWS_BILINEAR, nullptr, nullptr, nullptr);
                if (!s.sws) throw export_error("Не удалось изменить размер кадра " + std::string(frames.key()));
                const uint8_t* src[1] = {odd.data()};
                const int src_stride[1] = {js.width};
                sws_scale(s.sws, src, src_stride, 0, js.height, s.frame->data, s.frame->linesize);
            }
        }
        if (!ok) ++result.undecodable;  // the previous picture stays in the plane
        if (options.scale_bar) {
            cv::Mat luma(result.height, result.width, CV_8UC1, s.frame->data[0], s.frame->linesize[0]);
            burn_scale_bar(luma, options.scale);
        }
        s.frame->pts = static_cast<std::int64_t>(result.frames);
        s.encode(s.frame);
        ++result.frames;
        if (control.progress) control.progress({result.frames, frames.fraction()});
    }
    s.encode(nullptr);
    check_av(av_write_trailer(s.out), "Не удалось записать MP4");
    check_av(avio_closep(&s.out->pb), "Не удалось записать MP4");
    return result;
}

video_result export_video(leveldb::DB& db, export_range range, const fs::path& file, const video_options& options,
                          const export_control& control) {
    pending_output output;
    video_result result = prepare_video(db, range, file, options, control, output);
    if (!result.cancelled) output.commit();
    return result;
}
