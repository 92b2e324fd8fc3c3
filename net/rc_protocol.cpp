#include "net/rc_protocol.h"

#include <stdexcept>

#include "net/wire_format.h"

rc_command decode_rc_command(std::span<const std::uint8_t> bytes) {
    rc_command command;
    command.code = wire::read_le32(bytes, rc_code_offset);
    command.first = wire::field_text(bytes, rc_first_part_offset, rc_first_part_size);
    command.second = wire::field_text(bytes, rc_second_part_offset, rc_second_part_size);
    return command;
}

std::array<std::uint8_t, rc_command_size> encode_rc_command(const rc_command& command) {
    if (command.first.size() >= rc_first_part_size)
        throw std::invalid_argument("the first part is longer than 19 bytes");
    if (command.second.size() >= rc_second_part_size)
        throw std::invalid_argument("the second part is longer than 995 bytes");
    std::array<std::uint8_t, rc_command_size> buffer{};
    wire::put_le32(buffer, rc_code_offset, command.code);
    wire::put_text(buffer, rc_first_part_offset, command.first);
    wire::put_text(buffer, rc_second_part_offset, command.second);
    return buffer;
}
