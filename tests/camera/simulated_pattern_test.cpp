// The row-copy ramp against the per-pixel definition it replaces.
#include "camera/simulated_pattern.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::uint8_t per_pixel(std::uint32_t x, std::uint32_t y, std::uint64_t frame, double scale) {
    const double v = static_cast<double>((x + frame + y) % 255) * scale;
    return v < 0.0 ? 0 : v > 255.0 ? 255 : static_cast<std::uint8_t>(v);
}

TEST(SimulatedPattern, MatchesThePerPixelRampForEveryScaleAndFrame) {
    struct shot {
        std::uint32_t width, height;
        std::uint64_t frame;
        double scale;
    };
    ramp_line line;  // shared, so a stale cache after a size or scale change would show
    for (const shot s :
         {shot{7, 5, 1, 1.0}, shot{300, 260, 65535, 1.0}, shot{300, 4, 254, 2.3}, shot{64, 64, 9, ramp_scale(1000, 0)},
          shot{64, 3, 10, ramp_scale(10000, 2)}, shot{1, 600, 77, 0.5}}) {
        std::vector<std::uint8_t> image(static_cast<std::size_t>(s.width) * s.height, 0xEE);
        fill_diagonal_ramp(image.data(), image.size(), s.width, s.height, s.frame, s.scale, line);
        std::size_t wrong = 0;
        for (std::uint32_t y = 0; y < s.height; ++y)
            for (std::uint32_t x = 0; x < s.width; ++x)
                wrong += image[static_cast<std::size_t>(y) * s.width + x] != per_pixel(x, y, s.frame, s.scale);
        EXPECT_EQ(wrong, 0u) << s.width << "x" << s.height << " frame " << s.frame << " scale " << s.scale;
    }
    // Exposure below 1 ms gives a negative scale: black, not wrapped.
    EXPECT_LT(ramp_scale(500, 0), 0.0);

    std::vector<std::uint8_t> small(99, 0xEE);
    fill_diagonal_ramp(small.data(), small.size(), 10, 10, 0, 1.0, line);
    EXPECT_EQ(small, std::vector<std::uint8_t>(99, 0xEE)) << "a buffer short of the frame is not written";
}

}  // namespace
