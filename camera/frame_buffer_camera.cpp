#include "camera/frame_buffer.h"
#include "camera/jai_sdk.h"

#include <stdexcept>

std::unique_ptr<frame_buffer> make_frame_buffer(void* camera) {
    auto fb = std::make_unique<frame_buffer>();
    if (J_Camera_GetValueInt64(camera, "Width", &fb->width) != J_ST_SUCCESS)
        throw std::runtime_error("Не удалось прочитать ширину кадра.");
    if (J_Camera_GetValueInt64(camera, "Height", &fb->height) != J_ST_SUCCESS)
        throw std::runtime_error("Не удалось прочитать высоту кадра.");
    if (J_Camera_GetValueInt64(camera, "PixelFormat", &fb->pixel_format) != J_ST_SUCCESS)
        throw std::runtime_error("Не удалось прочитать формат пикселей.");
    fb->bits_per_pixel = bits_per_pixel_of(fb->pixel_format);
    // Guard the products against nonsense from the camera before anything is allocated;
    // the capture loop announces blocks of this size with 32-bit lengths.
    constexpr std::int64_t limit = 1 << 20;
    if (fb->width <= 0 || fb->height <= 0 || fb->width > limit || fb->height > limit)
        throw std::runtime_error("Недопустимый размер кадра.");
    const std::int64_t length = frame_byte_length(*fb);
    if (length <= 0 || length >= (std::int64_t(1) << 31)) throw std::runtime_error("Недопустимый размер кадра.");
    fb->image.assign(static_cast<std::size_t>(length), 0);
    return fb;
}
