#include "net/image_protocol.h"

#include <cstring>
#include <stdexcept>

#include "net/wire_format.h"

image_request decode_image_request(std::span<const std::uint8_t> bytes) {
    image_request request;
    request.first = wire::field_text(bytes, image_first_part_offset, image_first_part_size);
    request.second = wire::field_text(bytes, image_second_part_offset, image_second_part_size);
    request.count = wire::read_le32(bytes, image_count_offset);
    return request;
}

std::array<std::uint8_t, image_request_size> encode_image_request(const image_request& request) {
    if (request.first.size() >= image_first_part_size)
        throw std::invalid_argument("the first part is longer than 19 bytes");
    if (request.second.size() >= image_second_part_size)
        throw std::invalid_argument("the second part is longer than 15 bytes");
    std::array<std::uint8_t, image_request_size> buffer{};
    wire::put_text(buffer, image_first_part_offset, request.first);
    wire::put_text(buffer, image_second_part_offset, request.second);
    wire::put_le32(buffer, image_count_offset, request.count);
    return buffer;
}

std::vector<std::uint8_t> image_response(std::span<const std::uint8_t> png) {
    std::vector<std::uint8_t> out(4 + png.size());
    const auto prefix = wire::le32(static_cast<std::uint32_t>(png.size()));
    std::memcpy(out.data(), prefix.data(), prefix.size());
    if (!png.empty()) std::memcpy(out.data() + 4, png.data(), png.size());
    return out;
}
