#pragma once
// An under-car-like picture for the simulated camera: dark structure (longitudinal beams,
// cross members, plates, bolts, cables) over grimy texture, passing the camera as a train
// would, with sensor noise. Its JPEG frames weigh what real 1920 x 1200 under-car frames do
// (300-500 KB at quality 85), where the diagonal ramp squeezes to a few tens of kilobytes.
//
// The scene is one endless picture along the travel direction, a pure function of the seed,
// the frame height and the column: each place looks the same whenever it is shown, and no
// short stretch repeats. A frame shows the columns from its position on (the scene moves right
// to left). Without a track the position grows by `speed` columns per frame number; with a
// track (camera/simulated_track.h) it is the distance travelled when the frame is drawn, times
// px_per_mm, so the same place appears at the same odometer count in every run. A track's
// seeded changes alter the scene only within change_reach(height) columns of theirs.
//
// Cost: the picture is made of tiles 256 columns wide, each drawn from a hash of the seed and
// its index when first needed (about a millisecond or two at 1200 rows) and kept while near
// the frame; a frame is a few row copies per row out of the tiles, plus two saturating passes
// that add precomputed noise at an offset that changes every frame.
//
// Not thread-safe: one object per camera, used by the thread that fills its frames.
#include "camera/simulated_track.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class undercar_scene {
public:
    // Columns the scene moves per frame along the travel direction without a track.
    static constexpr std::uint32_t speed = 24;
    // Columns of one tile.
    static constexpr std::uint32_t tile_width = 256;

    // Follows the track of QUILLMAR_SIMULATED_TRACK when that names a valid one (the odometer
    // simulator reads the same variable); otherwise moves with the frame number.
    undercar_scene();
    // Follows `track`, or the frame number when there is none.
    explicit undercar_scene(std::optional<simulated_track> track);

    // Fills width x height 8-bit pixels (rows without padding) at data with frame `frame`, at
    // the track's distance now or at frame * speed. Writes nothing when bytes is smaller than
    // width * height or either side is 0.
    void fill(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height, std::uint64_t frame);

    // As fill, with the frame's left edge at scene column `column`; without sensor noise when
    // `noise` is false, so that the picture depends on the place alone.
    void fill_at(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height, std::int64_t column,
                 std::uint64_t frame, bool noise);

    // The scene column of the track's distance mm (0 without a track).
    std::int64_t column_at(double mm) const;

    // Columns either side of a seeded change's own column that it may alter.
    static std::uint32_t change_reach(std::uint32_t height);

private:
    struct change_at {
        track_change::kind what;
        std::int64_t column;
    };

    const std::vector<std::uint8_t>& tile(std::int64_t index);
    void draw_tile(std::int64_t index, std::vector<std::uint8_t>& out) const;
    void prepare(std::uint32_t width, std::uint32_t height, bool noise);

    std::optional<simulated_track> track_;
    std::uint64_t seed_;
    std::vector<change_at> changes_;

    std::uint32_t height_ = 0;                                           // of tiles_ and grain_
    std::unordered_map<std::int64_t, std::vector<std::uint8_t>> tiles_;  // index -> height_ rows of tile_width
    std::vector<float> grain_;                                           // height_ rows of grain_width, fine dirt
    std::uint32_t noise_width_ = 0;                                      // frame size of the noise
    std::uint32_t noise_height_ = 0;
    std::vector<std::uint8_t> brighter_;  // noise to add, width * height + noise_slack
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
