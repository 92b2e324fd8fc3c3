#pragma once
// A file of `bytes` pseudo-random bytes from `seed`: data deflate cannot shrink, so archiving
// it takes as long as its size says.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace test_support {

inline void write_random_file(const std::filesystem::path& file, std::size_t bytes, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(bytes, '\0');
    for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(&data[i], &v, 8);
    }
    std::ofstream(file, std::ios::binary) << data;
}

}  // namespace test_support
