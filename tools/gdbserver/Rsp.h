// gdb's remote serial protocol: framing, checksums, escapes, and the one
// parser that turns a packet's text into typed arguments.
//
// Nothing here knows the target. The decoder takes bytes as they arrive
// and hands out events (a packet with a good checksum, a bad checksum, an
// interrupt byte, an acknowledgement); the packet table names each packet
// with an argument shape, and ParseArguments reads a packet by its shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gdbserver {

// ---- Hex ------------------------------------------------------------------

std::optional<uint8_t> HexDigit(char c);
std::string ToHex(const uint8_t* bytes, std::size_t count);
std::string ToHex(std::string_view text);
// Pairs of hex digits; none for an odd count or a non-hex digit.
std::optional<std::vector<uint8_t>> FromHex(std::string_view text);

// ---- Framing ----------------------------------------------------------------

uint8_t Checksum(std::string_view payload);
// "$payload#cc". The payload goes out as it is: callers escape binary data.
std::string Frame(std::string_view payload);
// Binary data with '#', '$', '}' and '*' escaped as '}' followed by the byte
// xor 0x20.
std::string EscapeBinary(const uint8_t* bytes, std::size_t count);

struct RspEvent {
    enum Kind {
        Packet,       // a packet with a good checksum: payload holds its unescaped text
        BadChecksum,  // answer '-': gdb sends it again
        Oversize,     // good checksum but longer than the packet size: an error reply
        Interrupt,    // 0x03 outside a packet
        Ack,          // '+'
        Nak,          // '-': send the last reply again
    };
    Kind kind;
    std::string payload;
};

// Bytes in, events out. Anything outside a packet other than '$', 0x03, '+'
// and '-' is noise and dropped. Within a packet, '}' escapes the next byte;
// a packet longer than maxPayload is read to its end and reported as
// Oversize without being kept.
class RspDecoder {
public:
    explicit RspDecoder(std::size_t maxPayload) : maxPayload_(maxPayload) {}
    // Each event goes to the sink as soon as its last byte is read.
    using Sink = std::function<void(RspEvent&&)>;
    void Feed(const uint8_t* bytes, std::size_t count, const Sink& sink);
    void Feed(const uint8_t* bytes, std::size_t count, std::vector<RspEvent>& events);
    void Reset();

private:
    enum class State { Idle, Body, Escape, Sum1, Sum2 };
    std::size_t maxPayload_;
    State state_ = State::Idle;
    std::string payload_;
    bool oversize_ = false;
    uint8_t sum_ = 0;
    int received_ = 0;  // the checksum's digits, -1 when one is not hex
};

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
