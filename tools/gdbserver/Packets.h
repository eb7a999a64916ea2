// The GDB server's reading of a packet: the one parser that turns a
// packet's text (as the decoder of tools/common/Rsp.h hands it out) into
// typed arguments. Nothing here knows the target: the packet table names
// each packet with an argument shape, and ParseArguments reads a packet by
// its shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gdbserver {

// ---- Packets as data --------------------------------------------------------

// A packet's name: its first letter, except for the q, Q and v families,
// whose name runs to the first ':', ';' or ','.
std::string_view PacketName(std::string_view payload);

// Typed arguments of one packet, in the order of its shape.
struct Arguments {
    std::vector<uint64_t> numbers;
    std::vector<std::string> texts;
    std::vector<uint8_t> bytes;
};

// A shape is a string of field codes and literal separators (':', ',', ';',
// '='), read after the packet's name:
//   x  a hex number (1 to 16 digits)         -> numbers
//   h  hex-encoded bytes up to the next literal or the end -> bytes
//   b  the rest, binary (already unescaped)  -> bytes
//   s  text up to the next literal or the end -> texts
//   a  one action letter, then the rest of the packet ignored -> texts
//   r  the rest, possibly empty              -> texts
// The whole packet must be consumed. None when it does not fit the shape.
std::optional<Arguments> ParseArguments(std::string_view payload, std::size_t nameLength, std::string_view shape);

}  // namespace gdbserver
