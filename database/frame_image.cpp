#include "database/frame_image.h"

#include <climits>
#include <memory>
#include <stdexcept>

#include <leveldb/db.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "database/database_layout.h"

void encode_frame(const cv::Mat& gray8, std::vector<unsigned char>& out) {
    static const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 85};
    if (!cv::imencode(".jpeg", gray8, out, parameters)) throw std::runtime_error("JPEG encoding failed");
}

namespace {

// Width x height from the frame header of JPEG data, or 0 when there is none before the scan.
std::uint64_t jpeg_pixels(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return 0;
    std::size_t i = 2;
    while (i + 4 <= bytes.size()) {
        if (byte(i) != 0xFF) return 0;
        const unsigned marker = byte(i + 1);
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        const std::size_t length = std::size_t(byte(i + 2)) << 8 | byte(i + 3);
        const bool frame_header =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame_header) {
            if (i + 9 > bytes.size()) return 0;
            const std::uint64_t height = std::uint64_t(byte(i + 5)) << 8 | byte(i + 6);
            const std::uint64_t width = std::uint64_t(byte(i + 7)) << 8 | byte(i + 8);
            return width * height;
        }
        if (marker == 0xDA || length < 2) return 0;  // scan data, or a broken segment
        i += 2 + length;
    }
    return 0;
}

// Far beyond any camera frame: larger headers are damage, and decoding them would allocate
// gigabytes for a few stored bytes.
constexpr std::uint64_t max_frame_pixels = std::uint64_t(1) << 26;

}  // namespace

cv::Mat decode_frame(std::string_view bytes) {
    // A value too long for OpenCV's int sizes is not a frame this system could have stored.
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return {};
    if (jpeg_pixels(bytes) > max_frame_pixels) return {};
    // imdecode only reads the buffer; the Mat header is a view over the string's bytes.
    cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data()));
    try {
        return cv::imdecode(raw, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return {};  // a corrupt value is "no image", not a failure of the caller
    }
}

cv::Mat read_frame_at_or_after(leveldb::DB& db, std::uint32_t count) {
    std::unique_ptr<leveldb::Iterator> it(db.NewIterator(leveldb::ReadOptions()));
    it->Seek(make_frame_key(count));
    if (!it->Valid()) return {};
    leveldb::Slice value = it->value();
    return decode_frame(std::string_view(value.data(), value.size()));
}

cv::Mat make_placeholder_frame(const std::string& text) {
    cv::Mat image(480, 640, CV_8UC1, cv::Scalar(0));
    cv::putText(image, text, cv::Point(15, 15), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(255), 1, cv::LINE_8, false);
    return image;
}
