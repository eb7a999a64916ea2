// gdb's remote serial protocol below the packets' meaning: hex, checksums,
// framing, binary escapes, run-length encoding, and the decoder that turns
// a byte stream into packets. Both halves use it: the GDB server (gdb is its
// peer) and the QEMU core's client (QEMU's stub is its peer).
//
// A packet travels as "$text#cc": cc is the sum of the bytes of text, mod
// 256, in two hex digits. Within text, '}' escapes the byte after it (that
// byte xor 0x20), and "X*n" stands for X and then n - 29 more X (n is a
// printable character, never '#' or '$'). Run-length encoding is a layer
// below the escapes: a run repeats the byte as it was sent, and the result
// is then unescaped. Outside a packet, '+' and '-' acknowledge one and 0x03
// asks the target to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rsp {

// ---- Hex ------------------------------------------------------------------

std::optional<uint8_t> HexDigit(char c);
std::string ToHex(const uint8_t* bytes, std::size_t count);
std::string ToHex(std::string_view text);
// Pairs of hex digits; none for an odd count or a non-hex digit.
std::optional<std::vector<uint8_t>> FromHex(std::string_view text);

// ---- Sending ----------------------------------------------------------------

uint8_t Checksum(std::string_view text);
// "$text#cc". The text goes out as it is: callers escape binary data.
std::string Frame(std::string_view text);
// Binary data with '#', '$', '}' and '*' escaped as '}' followed by the byte
// xor 0x20.
std::string EscapeBinary(const uint8_t* bytes, std::size_t count);
// Runs of four or more equal bytes of text written as "X*n". The text must
// hold no bare '#', '$' or '*' (escape binary data first); runs of '}' stay
// as they are. Never writes '#' or '$' as a count: a run that would need
// one is cut shorter.
std::string RunLengthEncode(std::string_view text);

// ---- Receiving --------------------------------------------------------------

struct Event {
    enum Kind {
        Packet,       // a packet with a good checksum: payload holds its text, expanded and unescaped
        BadChecksum,  // a wrong checksum, or text that cannot be read (a run with nothing to
                      // repeat, an escape with nothing after it): answer '-'
        Oversize,     // good checksum but longer than the decoder's limit once expanded
        Interrupt,    // 0x03 outside a packet
        Ack,          // '+'
        Nak,          // '-'
    };
    Kind kind;
    std::string payload;
};

// Bytes in, events out, in any pieces. Anything outside a packet other than
// '$', 0x03, '+' and '-' is noise and dropped. A '$' within a packet drops
// the packet so far and starts a new one. A packet whose expanded text is
// longer than maxPayload is read to its end and reported as Oversize
// without being kept.
class Decoder {
public:
    explicit Decoder(std::size_t maxPayload) : maxPayload_(maxPayload) {}
    // Each event goes to the sink as soon as its last byte is read; the
    // decoder is ready for the next byte before the sink is called.
    using Sink = std::function<void(Event&&)>;
    void Feed(const uint8_t* bytes, std::size_t count, const Sink& sink);
    void Feed(const uint8_t* bytes, std::size_t count, std::vector<Event>& events);
    void Feed(std::string_view bytes, std::vector<Event>& events);
    // Forgets a packet begun.
    void Reset();
    // True between a packet's '$' and its last checksum digit.
    bool InPacket() const { return state_ != State::Idle; }

private:
    enum class State { Idle, Body, Count, Sum1, Sum2 };
    // One byte of a packet's text as sent, after run-length expansion.
    void Text(uint8_t byte);
    void Keep(uint8_t byte);
    void Start();

    std::size_t maxPayload_;
    State state_ = State::Idle;
    std::string payload_;
    bool escape_ = false;     // the last byte of text was an unpaired '}'
    bool oversize_ = false;
    bool malformed_ = false;  // a run with nothing before it, or a bad count
    std::optional<uint8_t> last_;  // the last byte of text as sent: what a run repeats
    uint8_t sum_ = 0;
    int received_ = 0;  // the checksum's first digit, -1 when it is not hex
};

}  // namespace rsp
