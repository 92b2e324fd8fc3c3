#include "camera/simulated_pattern.h"

#include "camera/undercar_scene.h"

#include <arv.h>

#include <algorithm>
#include <cmath>
#include <cstring>

void fill_diagonal_ramp(std::uint8_t* data, std::size_t bytes, std::uint32_t width, std::uint32_t height,
                        std::uint64_t frame_id, double scale, ramp_line& line) {
    if (!data || width == 0 || static_cast<std::uint64_t>(width) * height > bytes) return;
    if (line.width != width || line.scale != scale || line.values.empty()) {
        line.values.resize(static_cast<std::size_t>(width) + 255);
        for (std::size_t k = 0; k < line.values.size(); ++k) {
            // The same arithmetic as the per-pixel fill, so the picture is unchanged.
            const double v = static_cast<double>(k % 255) * scale;
            line.values[k] = v < 0.0 ? 0 : v > 255.0 ? 255 : static_cast<std::uint8_t>(v);
        }
        line.width = width;
        line.scale = scale;
    }
    const std::uint64_t start = frame_id % 255;
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(data + static_cast<std::size_t>(y) * width, line.values.data() + (start + y) % 255, width);
}

double ramp_scale(std::uint32_t exposure_us, std::uint32_t gain) {
    return 1.0 + gain + std::log10(static_cast<double>(exposure_us) / 10000.0);
}

namespace {

// The drawing caches of one camera.
struct pattern_caches {
    ramp_line line;
    undercar_scene scene;
};

// Both run on the fake stream's thread under the fake camera's pattern lock. The fake camera
// calls them only when the buffer holds its whole payload (width x height bytes at 8 bits),
// so that is the bound; what it says was received is not.
void fill_ramp(ArvBuffer* buffer, void* data, guint32 exposure_us, guint32 gain, ArvPixelFormat format) {
    if (!buffer || format != ARV_PIXEL_FORMAT_MONO_8) return;
    auto* pixels = static_cast<std::uint8_t*>(const_cast<void*>(arv_buffer_get_data(buffer, nullptr)));
    const auto width = static_cast<std::uint32_t>(arv_buffer_get_image_width(buffer));
    const auto height = static_cast<std::uint32_t>(arv_buffer_get_image_height(buffer));
    fill_diagonal_ramp(pixels, static_cast<std::size_t>(width) * height, width, height, arv_buffer_get_frame_id(buffer),
                       ramp_scale(exposure_us, gain), static_cast<pattern_caches*>(data)->line);
}

void fill_undercar(ArvBuffer* buffer, void* data, guint32, guint32, ArvPixelFormat format) {
    if (!buffer || format != ARV_PIXEL_FORMAT_MONO_8) return;
    auto* pixels = static_cast<std::uint8_t*>(const_cast<void*>(arv_buffer_get_data(buffer, nullptr)));
    const auto width = static_cast<std::uint32_t>(arv_buffer_get_image_width(buffer));
    const auto height = static_cast<std::uint32_t>(arv_buffer_get_image_height(buffer));
    static_cast<pattern_caches*>(data)->scene.fill(pixels, static_cast<std::size_t>(width) * height, width, height,
                                                   arv_buffer_get_frame_id(buffer));
}

void delete_caches(gpointer caches) { delete static_cast<pattern_caches*>(caches); }

constexpr const char* caches_key = "quillmar-pattern-caches";

}  // namespace

void use_fast_pattern(ArvFakeCamera* camera, bool mono8, bool undercar) {
    if (!camera) return;
    auto* caches = static_cast<pattern_caches*>(g_object_get_data(G_OBJECT(camera), caches_key));
    if (!caches) {
        caches = new pattern_caches;
        g_object_set_data_full(G_OBJECT(camera), caches_key, caches, delete_caches);
    }
    if (!mono8)
        arv_fake_camera_set_fill_pattern(camera, nullptr, nullptr);
    else
        arv_fake_camera_set_fill_pattern(camera, undercar ? fill_undercar : fill_ramp, caches);
}

std::size_t drawn_bytes(ArvBuffer* buffer, std::size_t block_size) {
    if (!buffer || arv_buffer_get_status(buffer) != ARV_BUFFER_STATUS_SUCCESS ||
        arv_buffer_get_image_pixel_format(buffer) != ARV_PIXEL_FORMAT_MONO_8)
        return 0;
    const std::uint64_t n = static_cast<std::uint64_t>(std::max(0, arv_buffer_get_image_width(buffer))) *
                            static_cast<std::uint64_t>(std::max(0, arv_buffer_get_image_height(buffer)));
    return n <= block_size ? static_cast<std::size_t>(n) : 0;
}
