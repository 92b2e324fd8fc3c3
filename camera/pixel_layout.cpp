#include "camera/pixel_layout.h"

#include <algorithm>

namespace {

constexpr std::uint32_t widest_bit_packed = 56;  // one pixel fits a 64-bit window at any bit offset

// Bits [bit, bit + count) of an LSB-first bit stream; bytes beyond `size` read as 0.
std::uint64_t bits_at(const std::uint8_t* data, std::size_t size, std::uint64_t bit, std::uint32_t count) {
    const std::size_t first = static_cast<std::size_t>(bit / 8);
    const std::uint32_t shift = static_cast<std::uint32_t>(bit % 8);
    std::uint64_t window = 0;
    for (std::uint32_t k = 0; k * 8 < shift + count; ++k)
        if (first + k < size) window |= std::uint64_t(data[first + k]) << (8 * k);
    return (window >> shift) & ((std::uint64_t(1) << count) - 1);
}

void set_bits(std::uint8_t* data, std::size_t size, std::uint64_t bit, std::uint32_t count, std::uint64_t value) {
    const std::size_t first = static_cast<std::size_t>(bit / 8);
    const std::uint32_t shift = static_cast<std::uint32_t>(bit % 8);
    const std::uint64_t mask = ((std::uint64_t(1) << count) - 1) << shift;
    std::uint64_t window = 0;
    for (std::uint32_t k = 0; k * 8 < shift + count; ++k)
        if (first + k < size) window |= std::uint64_t(data[first + k]) << (8 * k);
    window = (window & ~mask) | ((value << shift) & mask);
    for (std::uint32_t k = 0; k * 8 < shift + count; ++k)
        if (first + k < size) data[first + k] = static_cast<std::uint8_t>(window >> (8 * k));
}

// GigE "Packed" pixel i as 12 bits: high byte, then the 4 low bits.
std::uint32_t gige_unit(const std::uint8_t* data, std::size_t i) {
    const std::uint8_t* g = data + (i / 2) * 3;
    return i % 2 ? (std::uint32_t(g[2]) << 4) | (g[1] >> 4) : (std::uint32_t(g[0]) << 4) | (g[1] & 0x0F);
}

void set_gige_unit(std::uint8_t* data, std::size_t i, std::uint32_t unit) {
    std::uint8_t* g = data + (i / 2) * 3;
    if (i % 2) {
        g[2] = static_cast<std::uint8_t>(unit >> 4);
        g[1] = static_cast<std::uint8_t>((g[1] & 0x0F) | ((unit & 0x0F) << 4));
    } else {
        g[0] = static_cast<std::uint8_t>(unit >> 4);
        g[1] = static_cast<std::uint8_t>((g[1] & 0xF0) | (unit & 0x0F));
    }
}

}  // namespace

pixel_packing packing_of(std::int64_t pixel_format, std::uint32_t bits_per_pixel) {
    switch (pixel_format) {
    case 0x010C0004:  // Mono10Packed
    case 0x010C0006:  // Mono12Packed
    case 0x010C0026:
    case 0x010C0027:
    case 0x010C0028:
    case 0x010C0029:  // Bayer..10Packed
    case 0x010C002A:
    case 0x010C002B:
    case 0x010C002C:
    case 0x010C002D:  // Bayer..12Packed
        return pixel_packing::gige_packed;
    default: return bits_per_pixel % 8 == 0 ? pixel_packing::whole_bytes : pixel_packing::lsb_packed;
    }
}

int significant_bits(std::int64_t pixel_format) {
    switch (pixel_format) {
    case 0x01100003:  // Mono10
    case 0x0110000C:
    case 0x0110000D:
    case 0x0110000E:
    case 0x0110000F:  // Bayer..10
        return 10;
    case 0x01100005:  // Mono12
    case 0x01100010:
    case 0x01100011:
    case 0x01100012:
    case 0x01100013:  // Bayer..12
        return 12;
    case 0x01100025: return 14;  // Mono14
    default: return 16;
    }
}

std::size_t packed_size(std::size_t pixels, std::int64_t pixel_format, std::uint32_t bits_per_pixel) {
    switch (packing_of(pixel_format, bits_per_pixel)) {
    case pixel_packing::gige_packed: return (pixels / 2) * 3 + (pixels % 2 ? 2 : 0);
    case pixel_packing::whole_bytes: return pixels * (bits_per_pixel / 8);
    case pixel_packing::lsb_packed: break;
    }
    return static_cast<std::size_t>((std::uint64_t(pixels) * bits_per_pixel + 7) / 8);
}

void reduce_pixels_to_gray8(const std::uint8_t* src, std::size_t size, std::uint8_t* dst, std::size_t pixels,
                            std::int64_t pixel_format, std::uint32_t bpp) {
    std::fill(dst, dst + pixels, std::uint8_t{0});
    const pixel_packing packing = packing_of(pixel_format, bpp);
    const std::size_t whole = std::min(pixels, [&] {
        // Pixels that `src` holds completely.
        if (packing == pixel_packing::gige_packed) return (size / 3) * 2 + (size % 3 == 2 ? 1 : 0);
        return static_cast<std::size_t>(std::uint64_t(size) * 8 / std::max<std::uint32_t>(bpp, 1));
    }());
    if (packing == pixel_packing::gige_packed) {
        for (std::size_t i = 0; i < whole; ++i) dst[i] = src[(i / 2) * 3 + (i % 2 ? 2 : 0)];
    } else if (packing == pixel_packing::lsb_packed) {
        if (bpp > widest_bit_packed) {
            for (std::size_t i = 0; i < whole; ++i) dst[i] = src[(std::uint64_t(i) * bpp) / 8];
            return;
        }
        for (std::size_t i = 0; i < whole; ++i)
            dst[i] = static_cast<std::uint8_t>(bits_at(src, size, std::uint64_t(i) * bpp, bpp) >> (bpp - 8));
    } else if (bpp == 16) {
        const int shift = significant_bits(pixel_format) - 8;
        for (std::size_t i = 0; i < whole; ++i) {
            const unsigned v = src[2 * i] | (unsigned(src[2 * i + 1]) << 8);
            dst[i] = static_cast<std::uint8_t>(std::min(255u, v >> shift));
        }
    } else {
        const std::size_t step = bpp / 8;  // little-endian: the last byte is the most significant
        for (std::size_t i = 0; i < whole; ++i) dst[i] = src[i * step + step - 1];
    }
}

bool rotate_pixels_180(std::uint8_t* data, std::size_t size, std::size_t pixels, std::int64_t pixel_format,
                       std::uint32_t bpp) {
    if (!data || pixels == 0) return data != nullptr;
    if (packed_size(pixels, pixel_format, bpp) > size) return false;
    switch (packing_of(pixel_format, bpp)) {
    case pixel_packing::whole_bytes: {
        const std::size_t step = bpp / 8;
        if (step == 1) {
            std::reverse(data, data + pixels);
        } else {
            for (std::size_t i = 0, j = pixels - 1; i < j; ++i, --j)
                std::swap_ranges(data + i * step, data + (i + 1) * step, data + j * step);
        }
        return true;
    }
    case pixel_packing::gige_packed:
        for (std::size_t i = 0, j = pixels - 1; i < j; ++i, --j) {
            const std::uint32_t a = gige_unit(data, i);
            set_gige_unit(data, i, gige_unit(data, j));
            set_gige_unit(data, j, a);
        }
        return true;
    case pixel_packing::lsb_packed:
        if (bpp > widest_bit_packed) return false;
        for (std::size_t i = 0, j = pixels - 1; i < j; ++i, --j) {
            const std::uint64_t a = bits_at(data, size, std::uint64_t(i) * bpp, bpp);
            set_bits(data, size, std::uint64_t(i) * bpp, bpp, bits_at(data, size, std::uint64_t(j) * bpp, bpp));
            set_bits(data, size, std::uint64_t(j) * bpp, bpp, a);
        }
        return true;
    }
    return false;
}
