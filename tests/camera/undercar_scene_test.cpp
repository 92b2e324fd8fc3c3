// The under-car scene of the simulated camera: real frames' weight, motion, and the
// environment that chooses it.
#include "camera/undercar_scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <opencv2/imgcodecs.hpp>
#include <vector>

namespace {

std::size_t jpeg_bytes(const std::vector<std::uint8_t>& pixels, int width, int height) {
    const cv::Mat image(height, width, CV_8UC1, const_cast<std::uint8_t*>(pixels.data()));
    std::vector<uchar> out;
    cv::imencode(".jpeg", image, out, {cv::IMWRITE_JPEG_QUALITY, 85});
    return out.size();
}

}  // namespace

TEST(UndercarScene, FullSizeFramesWeighWhatRealOnesDoAndDifferFrameToFrame) {
    constexpr std::uint32_t width = 1920, height = 1200;
    undercar_scene scene;
    std::vector<std::uint8_t> previous;
    // Consecutive frames, and frames far apart (the strip's repeat, a long run).
    for (const std::uint64_t frame : {0ull, 1ull, 2ull, 57ull, 1000ull, 123457ull}) {
        std::vector<std::uint8_t> pixels(std::size_t{width} * height, 0);
        scene.fill(pixels.data(), pixels.size(), width, height, frame);
        const std::size_t bytes = jpeg_bytes(pixels, width, height);
        EXPECT_GE(bytes, 300u * 1000) << "frame " << frame;
        EXPECT_LE(bytes, 500u * 1000) << "frame " << frame;
        if (!previous.empty()) {
            EXPECT_NE(pixels, previous) << "frame " << frame;
        }
        previous = pixels;
    }
}

TEST(UndercarScene, MovesWithTheFrameNumberAndRebuildsForANewSize) {
    undercar_scene scene;
    std::vector<std::uint8_t> a(64 * 48), b(64 * 48);
    scene.fill(a.data(), a.size(), 64, 48, 10);
    scene.fill(b.data(), b.size(), 64, 48, 11);
    // Frame 11 shows frame 10's picture moved by the speed (noise aside): compare the
    // overlapping columns on average.
    double moved = 0, still = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x + static_cast<int>(undercar_scene::speed) < 64; ++x) {
            moved += std::abs(int(b[y * 64 + x]) - int(a[y * 64 + x + undercar_scene::speed]));
            still += std::abs(int(b[y * 64 + x]) - int(a[y * 64 + x]));
        }
    EXPECT_LT(moved, still);

    std::vector<std::uint8_t> big(300 * 200, 0);
    scene.fill(big.data(), big.size(), 300, 200, 0);
    EXPECT_NE(std::count(big.begin(), big.end(), 0), static_cast<long>(big.size()));

    std::vector<std::uint8_t> small(99, 0xEE);
    scene.fill(small.data(), small.size(), 10, 10, 0);
    EXPECT_EQ(small, std::vector<std::uint8_t>(99, 0xEE)) << "a buffer short of the frame is not written";
}

TEST(UndercarScene, EnvironmentChoosesSceneAndSize) {
    struct row {
        const char* scene;
        const char* size;
        simulated_picture::scene kind;
        std::uint32_t width, height;
        bool problem;
    };
    using S = simulated_picture::scene;
    for (const row r :
         {row{nullptr, nullptr, S::ramp, 0, 0, false}, row{"undercar", "1920x1200", S::undercar, 1920, 1200, false},
          row{"ramp", "", S::ramp, 0, 0, false}, row{"", "16x2048", S::ramp, 16, 2048, false},
          row{"Undercar", "1920x1200", S::ramp, 1920, 1200, true}, row{"undercar", "1920", S::undercar, 0, 0, true},
          row{"undercar", "1920x", S::undercar, 0, 0, true}, row{"undercar", "x1200", S::undercar, 0, 0, true},
          row{"undercar", "4096x1200", S::undercar, 0, 0, true}, row{"undercar", "15x15", S::undercar, 0, 0, true},
          row{"undercar", "-1920x1200", S::undercar, 0, 0, true},
          row{"undercar", "1920x1200 ", S::undercar, 0, 0, true},
          row{"undercar", "99999999999999999999x1", S::undercar, 0, 0, true}}) {
        std::string problem = "stale";
        const simulated_picture p = parse_simulated_picture(r.scene, r.size, &problem);
        const std::string where = std::string(r.scene ? r.scene : "(unset)") + " / " + (r.size ? r.size : "(unset)");
        EXPECT_EQ(p.kind, r.kind) << where;
        EXPECT_EQ(p.width, r.width) << where;
        EXPECT_EQ(p.height, r.height) << where;
        EXPECT_EQ(!problem.empty(), r.problem) << where << ": " << problem;
    }
}
