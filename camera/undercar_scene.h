#pragma once
// An under-car-like picture for the simulated camera: dark structure (longitudinal beams,
// cross members, plates, bolts, cables) over grimy texture, passing the camera as a train
// would, with sensor noise. Its JPEG frames weigh what real 1920 x 1200 under-car frames do
// (300-500 KB at quality 85), where the diagonal ramp squeezes to a few tens of kilobytes.
//
// Cost: the scene is drawn once per frame size into a strip that repeats along the travel
// direction; a frame is one row copy per row out of that strip at an offset that grows with
// the frame number, plus two saturating passes that add precomputed noise at an offset that
// changes every frame. Building the strip takes a few hundred milliseconds, once.
//
// Not thread-safe: one object per camera, used by the thread that fills its frames.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class undercar_scene {
public:
    // Pixels the scene moves per frame along the travel direction (right to left).
    static constexpr std::uint32_t speed = 24;

    // Fills width x height 8-bit pixels (rows without padding) at data with frame `frame`;
    // the strip is rebuilt when the size changed. Writes nothing when bytes is smaller than
    // width * height or either side is 0.
    void fill(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height, std::uint64_t frame);

private:
    void build(std::uint32_t width, std::uint32_t height);

    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::uint32_t period_ = 0;            // columns after which the strip repeats
    std::vector<std::uint8_t> strip_;     // height rows of period_ + width_ columns
    std::vector<std::uint8_t> brighter_;  // noise to add, width_ * height_ + noise_slack
    std::vector<std::uint8_t> darker_;    // noise to subtract, same length
};

// What the simulated camera shows, chosen by the camera layer's environment:
// QUILLMAR_SIMULATED_SCENE ("ramp", the default, or "undercar") and QUILLMAR_SIMULATED_SIZE
// ("WxH", for example 1920x1200; unset keeps the camera's own 512 x 512).
struct simulated_picture {
    enum class scene { ramp, undercar };
    scene kind = scene::ramp;
    std::uint32_t width = 0;  // 0: the camera's own size
    std::uint32_t height = 0;
};

// Reads the two variables' values (null: unset). A value it does not understand is left at
// its default and described in *problem (empty when both were understood). Sizes run from
// 16 x 16 to 2048 x 2048, the simulated camera's own limits.
simulated_picture parse_simulated_picture(const char* scene, const char* size, std::string* problem);
