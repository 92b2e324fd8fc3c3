#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <spng.h>

#include "database/frame_image.h"
#include "net/png_pipeline.h"

namespace {

using bytes = std::vector<unsigned char>;

// A frame with what the camera's pictures have: smooth shading, hard edges, fine noise.
cv::Mat test_frame(int width, int height, int channels, unsigned seed) {
    cv::Mat image(height, width, CV_8UC(channels));
    cv::RNG rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                image.ptr<unsigned char>(y)[x * channels + c] =
                    static_cast<unsigned char>((x * 255 / width + y * 64 / height + c * 40) % 256);
    for (int i = 0; i < 12; ++i)
        cv::rectangle(image, cv::Point(rng.uniform(0, width), rng.uniform(0, height)),
                      cv::Point(rng.uniform(0, width), rng.uniform(0, height)), cv::Scalar::all(rng.uniform(0, 256)),
                      rng.uniform(-1, 4));
    cv::Mat noise(image.size(), image.type());
    rng.fill(noise, cv::RNG::NORMAL, 0, 12);
    return image + noise;
}

std::string jpeg(const cv::Mat& image, std::vector<int> params = {}) {
    params.insert(params.begin(), {cv::IMWRITE_JPEG_QUALITY, 85});
    bytes out;
    EXPECT_TRUE(cv::imencode(".jpeg", image, out, params));
    return std::string(out.begin(), out.end());
}

std::string grey_jpeg(int width, int height, unsigned seed = 1) { return jpeg(test_frame(width, height, 1, seed)); }

cv::Mat opencv_decode(const bytes& png) { return png.empty() ? cv::Mat() : cv::imdecode(png, cv::IMREAD_UNCHANGED); }

// The second, independent decoder: its own inflate, CRC and Adler-32 checks. Returns the
// pixels in the file's own format, channels in file order; `channels` 0 when it fails.
struct spng_image {
    int width = 0, height = 0, channels = 0;
    bytes pixels;
};
spng_image spng_decode(const bytes& png) {
    spng_image out;
    spng_ctx* ctx = spng_ctx_new(0);
    spng_ihdr ihdr{};
    std::size_t size = 0;
    if (spng_set_png_buffer(ctx, png.data(), png.size()) == 0 && spng_get_ihdr(ctx, &ihdr) == 0 &&
        spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size) == 0) {
        out.pixels.resize(size);
        if (spng_decode_image(ctx, out.pixels.data(), size, SPNG_FMT_PNG, 0) == 0) {
            out.width = int(ihdr.width);
            out.height = int(ihdr.height);
            out.channels = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR ? 3 : 1;
        }
    }
    spng_ctx_free(ctx);
    return out;
}

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// The fast file has the reference's pixels under both decoders, and is no larger.
void expect_same_as_reference(const bytes& fast, const bytes& reference, int channels) {
    ASSERT_FALSE(reference.empty());
    ASSERT_FALSE(fast.empty());
    const cv::Mat f = opencv_decode(fast), r = opencv_decode(reference);
    EXPECT_EQ(r.channels(), channels);
    EXPECT_TRUE(same_pixels(f, r));
    const spng_image fs = spng_decode(fast), rs = spng_decode(reference);
    EXPECT_EQ(fs.channels, channels);
    EXPECT_EQ(fs.width, rs.width);
    EXPECT_EQ(fs.height, rs.height);
    EXPECT_TRUE(fs.pixels == rs.pixels);
    EXPECT_LE(fast.size(), reference.size());
}

class PngPipeline : public ::testing::Test {
protected:
    std::unique_ptr<png_pipeline> fast = make_fast_png_pipeline();
    std::unique_ptr<png_pipeline> reference = make_opencv_png_pipeline();
};

TEST_F(PngPipeline, StoredFramesKeepTheReferencePixels) {
    const struct {
        const char* name;
        std::string stored;
    } cases[] = {
        {"camera frame", grey_jpeg(1920, 1200)},
        {"odd sizes", grey_jpeg(641, 479, 2)},
        {"dark frame, lens covered", jpeg(cv::Mat(1200, 1920, CV_8UC1, cv::Scalar(3)))},
        {"one pixel", grey_jpeg(1, 1, 3)},
        {"narrow", grey_jpeg(3, 37, 4)},
        {"wide", grey_jpeg(37, 3, 5)},
        {"progressive grey", jpeg(test_frame(333, 111, 1, 6), {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"colour", jpeg(test_frame(321, 123, 3, 7))},
        {"grey with restart markers", jpeg(test_frame(99, 77, 1, 8), {cv::IMWRITE_JPEG_RST_INTERVAL, 3})},
        {"a PNG stored as a frame",
         [] {
             bytes png;
             cv::imencode(".png", test_frame(50, 40, 1, 9), png);
             return std::string(png.begin(), png.end());
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_same_as_reference(fast->from_stored(c.stored), reference->from_stored(c.stored), 3);
    }
}

TEST_F(PngPipeline, ImagesKeepTheirChannels) {
    const cv::Mat colour = test_frame(200, 100, 3, 10);
    const struct {
        const char* name;
        cv::Mat image;
        int channels;
    } cases[] = {
        {"placeholder", make_placeholder_frame("Requested frame not found [12 : 34:99]"), 1},
        {"colour", colour, 3},
        {"colour region, rows not contiguous", colour(cv::Rect(3, 5, 101, 50)), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_same_as_reference(fast->from_image(c.image), reference->from_image(c.image), c.channels);
        EXPECT_TRUE(same_pixels(opencv_decode(fast->from_image(c.image)), c.image));
    }
    EXPECT_TRUE(fast->from_image(cv::Mat()).empty());
}

std::string with_frame_size(std::string stored, unsigned width, unsigned height) {
    const std::size_t sof = stored.find("\xFF\xC0");
    EXPECT_NE(sof, std::string::npos);
    stored[sof + 5] = char(height >> 8), stored[sof + 6] = char(height);
    stored[sof + 7] = char(width >> 8), stored[sof + 8] = char(width);
    return stored;
}

TEST_F(PngPipeline, BadStoredBytes) {
    const std::string good = grey_jpeg(64, 48);
    std::mt19937 rng(42);
    std::string noise(4000, '\0');
    for (char& ch : noise) ch = char(rng());
    const struct {
        const char* name;
        std::string stored;
    } unusable[] = {
        {"empty", ""},
        {"one byte", "\xFF"},
        {"random bytes", noise},
        {"JPEG signature then random bytes", "\xFF\xD8\xFF" + noise},
        {"cut inside the headers", good.substr(0, 100)},
        {"header claiming 65535 x 65535", with_frame_size(good, 65535, 65535)},
        {"header claiming 8193 x 8192", with_frame_size(good, 8193, 8192)},
        {"header claiming 0 x 48", with_frame_size(good, 0, 48)},
    };
    for (const auto& c : unusable) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(reference->from_stored(c.stored).empty());
        EXPECT_TRUE(fast->from_stored(c.stored).empty());
    }
    // Damaged scan data still decodes, with the damage, as the reference decodes it.
    const std::string damaged[] = {good.substr(0, good.size() / 2), good.substr(0, good.size() - 2)};
    for (const std::string& stored : damaged)
        expect_same_as_reference(fast->from_stored(stored), reference->from_stored(stored), 3);
}

TEST_F(PngPipeline, FuzzedJpegsDecodeAsTheReferenceDoes) {
    const std::string seeds[] = {grey_jpeg(40, 24, 11), jpeg(test_frame(24, 16, 3, 12))};
    std::mt19937 rng(7);
    int decoded = 0;
    for (int round = 0; round < 600; ++round) {
        std::string stored = seeds[round % 2];
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % stored.size();
            switch (rng() % 3) {
            case 0: stored[at] = char(rng()); break;
            case 1: stored.resize(at + 1); break;
            case 2: stored.insert(at, 1 + rng() % 8, char(rng())); break;
            }
        }
        SCOPED_TRACE(round);
        const bytes r = reference->from_stored(stored), f = fast->from_stored(stored);
        ASSERT_EQ(f.empty(), r.empty());
        if (r.empty()) continue;
        ++decoded;
        ASSERT_TRUE(same_pixels(opencv_decode(f), opencv_decode(r)));
    }
    EXPECT_GT(decoded, 100);  // the run reached the decoders, not only the signature checks
}

TEST_F(PngPipeline, ThreadsEncodingAtOnceGiveTheSameBytes) {
    const std::string frames[] = {grey_jpeg(640, 400, 13), grey_jpeg(333, 222, 14), jpeg(test_frame(120, 80, 3, 15))};
    std::vector<bytes> expected;
    for (const std::string& f : frames) expected.push_back(fast->from_stored(f));
    const bytes placeholder = fast->from_image(make_placeholder_frame("Requested frame not found [5]"));

    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 12; ++i) {
                const int k = (i + t) % 3;
                if (fast->from_stored(frames[k]) != expected[k]) ++mismatches[t];
                if (fast->from_image(make_placeholder_frame("Requested frame not found [5]")) != placeholder)
                    ++mismatches[t];
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
