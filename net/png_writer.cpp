#include "net/png_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

namespace {

constexpr std::size_t max_chunk_length = 0x7FFFFFFF;  // PNG's limit for a chunk's data

struct compressor_deleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// What one thread keeps between calls.
struct writer_state {
    std::unique_ptr<libdeflate_compressor, compressor_deleter> compressors[13];  // by level
    std::vector<unsigned char> filtered;    // the image data as it goes into the deflate stream
    std::vector<unsigned char> compressed;  // the zlib stream
    std::vector<unsigned char> retry;       // the zlib stream of a second try
    std::vector<unsigned char> rows;        // two source rows in PNG channel order
    std::vector<unsigned char> candidates;  // one row per filter type

    libdeflate_compressor* compressor(int level) {
        auto& c = compressors[level];
        if (!c) {
            c.reset(libdeflate_alloc_compressor(level));
            if (!c) throw std::bad_alloc();
        }
        return c.get();
    }
};

constexpr std::size_t second_try_below = 64 * 1024;  // compressed bytes

// `data` as a zlib stream at level 5 with the settings libpng uses under OpenCV (memory level 8,
// default strategy) into `out`; its length, 0 on failure.
std::size_t compress_with_zlib(const std::vector<unsigned char>& data, std::vector<unsigned char>& out) {
    z_stream z{};
    if (deflateInit2(&z, 5, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    out.resize(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    const std::size_t length = z.total_out;
    deflateEnd(&z);
    return done ? length : 0;
}

// Compresses the state's filtered data into `out` as a zlib stream; its length, 0 on failure.
std::size_t compress(writer_state& st, int level, std::vector<unsigned char>& out) {
    libdeflate_compressor* c = st.compressor(level);
    out.resize(libdeflate_zlib_compress_bound(c, st.filtered.size()));
    return libdeflate_zlib_compress(c, st.filtered.data(), st.filtered.size(), out.data(), out.size());
}

writer_state& this_thread_state() {
    thread_local writer_state state;
    return state;
}

// Sum of the bytes taken as signed values, in pieces small enough for 32-bit sums so that
// the loop vectorizes.
std::uint64_t signed_sum(const unsigned char* f, std::size_t n) {
    constexpr std::size_t piece = std::size_t(1) << 20;
    std::uint64_t total = 0;
    for (std::size_t start = 0; start < n; start += piece) {
        const std::size_t end = std::min(n, start + piece);
        std::uint32_t sum = 0;
        for (std::size_t i = start; i < end; ++i) {
            const int v = static_cast<signed char>(f[i]);
            sum += static_cast<std::uint32_t>(v < 0 ? -v : v);
        }
        total += sum;
    }
    return total;
}

// Filters `row` (n bytes, bpp bytes a pixel) against `prior` (zeros for the first row) with
// all five filter types into `out` (5 rows of n bytes) and returns the type whose output has
// the smallest sum of bytes taken as signed values, the usual PNG heuristic. One plain loop
// a filter, without branches, so that the compiler vectorizes each.
int filter_row(const unsigned char* row, const unsigned char* prior, std::size_t n, std::size_t bpp,
               unsigned char* out) {
    unsigned char* none = out;
    unsigned char* sub = out + n;
    unsigned char* up = out + 2 * n;
    unsigned char* avg = out + 3 * n;
    unsigned char* pae = out + 4 * n;
    const std::size_t lead = std::min(bpp, n);  // pixels without a left neighbour
    std::memcpy(none, row, n);
    for (std::size_t i = 0; i < lead; ++i) {
        sub[i] = row[i];
        avg[i] = static_cast<unsigned char>(row[i] - (prior[i] >> 1));
        pae[i] = static_cast<unsigned char>(row[i] - prior[i]);  // Paeth(0, b, 0) is b
    }
    for (std::size_t i = 0; i < n; ++i) up[i] = static_cast<unsigned char>(row[i] - prior[i]);
    for (std::size_t i = lead; i < n; ++i) sub[i] = static_cast<unsigned char>(row[i] - row[i - bpp]);
    for (std::size_t i = lead; i < n; ++i)
        avg[i] = static_cast<unsigned char>(row[i] - ((row[i - bpp] + prior[i]) >> 1));
    for (std::size_t i = lead; i < n; ++i) {
        const int a = row[i - bpp], b = prior[i], c = prior[i - bpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int predictor = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        pae[i] = static_cast<unsigned char>(row[i] - predictor);
    }
    int best = 0;
    std::uint64_t best_sum = UINT64_MAX;
    for (int type = 0; type < 5; ++type) {
        const std::uint64_t sum = signed_sum(out + std::size_t(type) * n, n);
        if (sum < best_sum) {
            best_sum = sum;
            best = type;
        }
    }
    return best;
}

// Copies source row y into `dst` in PNG channel order (grey stays one byte a pixel).
void load_row(const png_source& s, int y, unsigned char* dst) {
    const unsigned char* src = s.pixels + std::size_t(y) * s.stride;
    const std::size_t w = std::size_t(s.width);
    switch (s.layout) {
    case png_layout::grey:
    case png_layout::grey_as_rgb: std::memcpy(dst, src, w); break;
    case png_layout::rgb: std::memcpy(dst, src, 3 * w); break;
    case png_layout::bgr:
        for (std::size_t x = 0; x < w; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
        break;
    }
}

void put_u32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Writes one chunk (length, type, data, CRC over type and data) at `p`; returns its end.
unsigned char* put_chunk(unsigned char* p, const char* type, const unsigned char* data, std::size_t length) {
    put_u32(p, static_cast<std::uint32_t>(length));
    std::memcpy(p + 4, type, 4);
    if (length) std::memcpy(p + 8, data, length);
    const std::uint32_t crc = libdeflate_crc32(0, p + 4, 4 + length);
    put_u32(p + 8 + length, crc);
    return p + 12 + length;
}

}  // namespace

std::vector<unsigned char> write_png(const png_source& s, int level, zlib_pass pass) {
    if (level < 0 || level > 12) return {};
    if (!s.pixels || s.width <= 0 || s.height <= 0) return {};
    const bool grey_plane = s.layout == png_layout::grey || s.layout == png_layout::grey_as_rgb;
    const std::size_t in_bpp = grey_plane ? 1 : 3;
    const std::size_t out_bpp = s.layout == png_layout::grey ? 1 : 3;
    const std::size_t width = std::size_t(s.width), height = std::size_t(s.height);
    if (s.stride < width * in_bpp) return {};
    // Keeps every size below in range, and the data within what one IDAT may hold.
    if (width > max_chunk_length / 3 || height > max_chunk_length || height * (1 + width * out_bpp) > max_chunk_length)
        return {};

    writer_state& st = this_thread_state();
    const std::size_t n = width * in_bpp;  // filtered bytes of a row before expansion
    const std::size_t line = 1 + width * out_bpp;
    st.rows.assign(2 * n, 0);  // the prior row of the first row is zeros
    st.candidates.resize(5 * n);
    st.filtered.resize(height * line);

    unsigned char* prior = st.rows.data();
    unsigned char* current = st.rows.data() + n;
    for (std::size_t y = 0; y < height; ++y) {
        load_row(s, static_cast<int>(y), current);
        const int type = filter_row(current, prior, n, in_bpp, st.candidates.data());
        const unsigned char* f = st.candidates.data() + std::size_t(type) * n;
        unsigned char* dst = st.filtered.data() + y * line;
        dst[0] = static_cast<unsigned char>(type);
        if (s.layout == png_layout::grey_as_rgb) {
            for (std::size_t x = 0; x < width; ++x) dst[1 + 3 * x] = dst[2 + 3 * x] = dst[3 + 3 * x] = f[x];
        } else {
            std::memcpy(dst + 1, f, n);
        }
        std::swap(prior, current);
    }

    std::size_t z = compress(st, level, st.compressed);
    // On tiny and on nearly empty images (the placeholder frame, a covered lens) libdeflate
    // loses a few per cent to zlib, which wins there by its block layout. Such data takes zlib
    // little time, so it gets a second pass with the settings libpng uses under OpenCV; with
    // the same row filters that is OpenCV's own stream, and the smaller of the two is kept.
    if (z != 0 && (pass == zlib_pass::always || z < second_try_below)) {
        const std::size_t z2 = compress_with_zlib(st.filtered, st.retry);
        if (z2 != 0 && z2 < z) {
            st.compressed.swap(st.retry);
            z = z2;
        }
    }
    if (z == 0 || z > max_chunk_length) return {};

    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    unsigned char header[13];
    put_u32(header, static_cast<std::uint32_t>(width));
    put_u32(header + 4, static_cast<std::uint32_t>(height));
    header[8] = 8;                             // bit depth
    header[9] = out_bpp == 1 ? 0 : 2;          // colour type: grey or RGB
    header[10] = header[11] = header[12] = 0;  // deflate, adaptive filtering, no interlace

    std::vector<unsigned char> png(8 + (12 + 13) + (12 + z) + 12);
    unsigned char* p = png.data();
    std::memcpy(p, signature, 8);
    p = put_chunk(p + 8, "IHDR", header, 13);
    p = put_chunk(p, "IDAT", st.compressed.data(), z);
    put_chunk(p, "IEND", nullptr, 0);
    return png;
}
