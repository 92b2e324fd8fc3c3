#include "net/png_pipeline.h"

#include <climits>

#include "database/frame_image.h"
#include "net/jpeg_decoder.h"
#include "net/png_writer.h"

namespace {

// libdeflate's level 4: on camera frames it writes files about 12 % smaller than OpenCV's
// level 5 at a third of its time; its level 5 gains 2 % more for half as much time again,
// which the service's speed needs more (bench/png_pipeline prints the levels side by side).
constexpr int level = 4;

// Per thread: a TurboJPEG handle and the grey plane, reused from request to request.
struct decode_state {
    jpeg_decoder decoder;
    std::vector<unsigned char> grey;
};

decode_state& this_thread_state() {
    thread_local decode_state state;
    return state;
}

// Grey JPEGs, the frames the recorder stores, go the fast way. Whatever else a stored value
// holds is decoded by OpenCV exactly as the reference does, so the pixels stay the same;
// only the PNG writing differs.
class fast_png_pipeline : public png_pipeline {
public:
    std::vector<unsigned char> from_stored(std::string_view stored) const override {
        if (stored.empty() || stored.size() > static_cast<std::size_t>(INT_MAX)) return {};
        decode_state& st = this_thread_state();
        const jpeg_decoder::result r = st.decoder.decode_grey(stored, st.grey);
        switch (r.what) {
        case jpeg_decoder::outcome::decoded:
            return write_png({st.grey.data(), r.width, r.height, std::size_t(r.width), png_layout::grey_as_rgb}, level);
        case jpeg_decoder::outcome::too_large: return {};
        case jpeg_decoder::outcome::other: break;
        }
        return from_image(decode_frame(stored));
    }

    std::vector<unsigned char> from_image(const cv::Mat& image) const override {
        if (image.empty()) return {};
        if (image.dims != 2 || image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3))
            return reference_->from_image(image);  // kinds this system never sends
        // Not the camera frames the service is timed on: the placeholder, or a stored value
        // that was not a grey JPEG. The zlib pass makes sure of a file no larger than OpenCV's.
        return write_png({image.data, image.cols, image.rows, image.step[0],
                          image.channels() == 1 ? png_layout::grey : png_layout::bgr},
                         level, zlib_pass::always);
    }

private:
    std::unique_ptr<png_pipeline> reference_ = make_opencv_png_pipeline();
};

}  // namespace

std::unique_ptr<png_pipeline> make_fast_png_pipeline() { return std::make_unique<fast_png_pipeline>(); }
