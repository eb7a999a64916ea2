// The shared codec of gdb's remote protocol: hex, framing and checksums,
// binary escapes, run-length encoding, and the decoder fed in any pieces.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/common/Rsp.h"

namespace {

using rsp::Event;

std::string Escaped(std::string_view binary) {
    return rsp::EscapeBinary(reinterpret_cast<const uint8_t*>(binary.data()), binary.size());
}

// Events as one line of text, so that a table row fails with a readable diff.
std::string Describe(const std::vector<Event>& events) {
    static const char* const kNames[] = {"Packet", "BadChecksum", "Oversize", "Interrupt", "Ack", "Nak"};
    std::string text;
    for (const Event& event : events) {
        if (!text.empty()) text += ' ';
        text += kNames[event.kind];
        if (event.kind == Event::Packet) text += "(" + rsp::ToHex(event.payload) + ")";
    }
    return text;
}

std::string PacketOf(std::string_view payload) { return "Packet(" + rsp::ToHex(payload) + ")"; }

// ---- Hex ------------------------------------------------------------------

TEST(RspHex, EncodesLowerCaseAndDecodesEitherCase) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(rsp::ToHex(bytes, sizeof bytes), "000fa5ff");
    EXPECT_EQ(rsp::ToHex("OK\n"), "4f4b0a");

    const struct {
        const char* text;
        std::optional<std::vector<uint8_t>> bytes;
    } cases[] = {
        {"", std::vector<uint8_t>{}},
        {"000fa5ff", std::vector<uint8_t>{0x00, 0x0f, 0xa5, 0xff}},
        {"A5Ff", std::vector<uint8_t>{0xa5, 0xff}},
        {"0", std::nullopt},    // an odd count
        {"a5f", std::nullopt},
        {"0g", std::nullopt},   // not a hex digit
        {"g0", std::nullopt},
        {" 0", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(rsp::FromHex(c.text), c.bytes) << c.text;
}

// ---- Framing ----------------------------------------------------------------

TEST(RspFrame, ChecksumIsTheByteSumModulo256InTwoLowerCaseDigits) {
    const struct {
        std::string text;
        std::string frame;
    } cases[] = {
        {"", "$#00"},
        {"OK", "$OK#9a"},
        {"?", "$?#3f"},
        {"m0,2", "$m0,2#fb"},
        {std::string("\x80\x80", 2), std::string("$\x80\x80#00", 6)},  // wraps to zero
        {std::string("\xff\x02", 2), std::string("$\xff\x02#01", 6)},
        {std::string(300, 'a'), "$" + std::string(300, 'a') + "#ac"},  // 300 * 0x61 = 0x71ac
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rsp::Frame(c.text), c.frame) << rsp::ToHex(c.text);
        EXPECT_EQ(rsp::Checksum(c.text), std::stoi(c.frame.substr(c.frame.size() - 2), nullptr, 16));
    }
}

// ---- Escapes --------------------------------------------------------------------

TEST(RspEscape, EscapesTheFourFramingBytesAndNothingElse) {
    const struct {
        std::string byte;
        std::string escaped;
    } cases[] = {
        {"#", "}\x03"},
        {"$", "}\x04"},
        {"}", "}]"},
        {"*", "}\x0a"},
        {"\x03", "\x03"},  // the interrupt byte is plain data inside a packet
        {std::string(1, '\0'), std::string(1, '\0')},
        {"+", "+"},
        {"-", "-"},
        {"]", "]"},
    };
    for (const auto& c : cases) {
        const std::string binary = "a" + c.byte + "b";
        EXPECT_EQ(Escaped(binary), "a" + c.escaped + "b") << rsp::ToHex(binary);
        rsp::Decoder decoder(64);
        std::vector<Event> events;
        decoder.Feed(rsp::Frame(Escaped(binary)), events);
        EXPECT_EQ(Describe(events), PacketOf(binary)) << rsp::ToHex(binary);
    }
}

TEST(RspEscape, EveryByteValueRoundTripsThroughFrameAndDecoder) {
    std::string binary;
    for (int b = 0; b < 256; ++b) binary += static_cast<char>(b);
    binary += "##$$}}**\x03\x03}]";  // specials next to each other
    const std::string text = Escaped(binary);
    EXPECT_EQ(text.find_first_of("#$*"), std::string::npos) << "a framing byte left bare";
    rsp::Decoder decoder(1024);
    std::vector<Event> events;
    decoder.Feed(rsp::Frame(text), events);
    EXPECT_EQ(Describe(events), PacketOf(binary));
}

// ---- Run-length encoding ------------------------------------------------------------

TEST(RspRunLength, EncodesRunsOfFourOrMoreAndNeverWritesAFramingCount) {
    const struct {
        std::string text;
        std::string encoded;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"aaa", "aaa"},               // two repeats: shorter as they are
        {"aaaa", "a* "},              // three repeats: ' ' is 3 + 29
        {"000000", "0*\""},           // five repeats: '"'
        {"0000000", "0*\"0"},         // six would be '#': five, and one left over
        {"00000000", "0*\"00"},       // seven would be '$': five, and two left over
        {"000000000", "0*%"},         // eight: '%'
        {std::string(98, 'x'), "x*~"},        // 97 repeats, the most a count says
        {std::string(99, 'x'), "x*~x"},
        {std::string(102, 'x'), "x*~x* "},    // 98 + 4: the rest is a run of its own
        {"abbbbbc", "ab*!c"},
        {"}}}}}}", "}}}}}}"},                 // runs of the escape byte stay as they are
        {"}\x03\x03\x03\x03\x03", "}\x03*!"}, // an escaped '#' and four plain 0x03 after it
    };
    for (const auto& c : cases) EXPECT_EQ(rsp::RunLengthEncode(c.text), c.encoded) << c.text;
}

TEST(RspRunLength, EveryRunLengthRoundTripsWithoutFramingBytes) {
    for (std::size_t length = 1; length <= 300; ++length) {
        for (const char c : {'0', 'f', '}', '#', '*', '\x03'}) {
            const std::string binary = "<" + std::string(length, c) + ">";
            const std::string encoded = rsp::RunLengthEncode(Escaped(binary));
            ASSERT_EQ(encoded.find_first_of("#$"), std::string::npos) << length << " of " << int(c) << ": " << encoded;
            rsp::Decoder decoder(1024);
            std::vector<Event> events;
            decoder.Feed(rsp::Frame(encoded), events);
            ASSERT_EQ(Describe(events), PacketOf(binary)) << length << " of " << int(c) << ": " << encoded;
        }
    }
}

// ---- Decoder ------------------------------------------------------------------

// One stream, and what the decoder makes of it, whole and in every split.
struct StreamCase {
    const char* what;
    std::string stream;
    std::string events;  // Describe()'s text
    std::size_t maxPayload = 128;
};

std::string Wrong(std::string_view text) {  // a frame with a checksum one off
    std::string frame = rsp::Frame(text);
    frame.back() = frame.back() == '0' ? '1' : '0';
    return frame;
}

const StreamCase kStreams[] = {
    {"a packet", "$OK#9a", PacketOf("OK")},
    {"upper-case checksum digits", "$OK#9A", PacketOf("OK")},
    {"an empty packet", "$#00", PacketOf("")},
    {"a wrong checksum", "$?#00", "BadChecksum"},
    {"checksum digits that are not hex", "$?#zz", "BadChecksum"},
    {"only the second checksum digit not hex", "$?#3g", "BadChecksum"},
    {"acknowledgements and the interrupt byte", "+-\x03", "Ack Nak Interrupt"},
    {"noise before, between and after packets", "noise$OK#9a junk\r\n$?#3ftail",
     PacketOf("OK") + " " + PacketOf("?")},
    {"a packet cut off by the next '$'", "$m0,$qC#b4", PacketOf("qC")},
    {"'+', '-' and 0x03 inside a packet are text", rsp::Frame("a+-\x03z"), PacketOf("a+-\x03z")},
    {"escapes", rsp::Frame("}\x03}\x04}]}\x0a"), PacketOf("#$}*")},
    {"an escape with nothing after it", rsp::Frame("ab}"), "BadChecksum"},
    {"a bad packet, then a good one", Wrong("m0,2") + rsp::Frame("qC"), "BadChecksum " + PacketOf("qC")},
    // Run-length encoding: "X*n" is X and n - 29 more.
    {"a run of three", rsp::Frame("0* "), PacketOf("0000")},
    {"the longest run", rsp::Frame("x*~"), PacketOf(std::string(98, 'x'))},
    {"runs among text", rsp::Frame("E*!1*\"2"), PacketOf("EEEEE1111112")},
    {"a run of a run's last byte", rsp::Frame("a* * "), PacketOf("aaaaaaa")},
    {"a run after an escape repeats the byte as sent", rsp::Frame("}\x03*!"), PacketOf("#\x03\x03\x03\x03")},
    {"a run expanding to an escape", rsp::Frame("}]* "), PacketOf("}]]]")},
    {"a run with nothing before it", rsp::Frame("* x"), "BadChecksum"},
    {"a run count below ' '", rsp::Frame("a*\x1f"), "BadChecksum"},
    {"a run count past '~'", rsp::Frame("a*\x7f"), "BadChecksum"},
    {"a run whose count is the packet's end", "$a*#" + rsp::ToHex(std::string(1, char(rsp::Checksum("a*")))),
     "BadChecksum"},
    {"a run with a wrong checksum", Wrong("0* "), "BadChecksum"},
    {"a packet at the limit", rsp::Frame("12345678"), PacketOf("12345678"), 8},
    {"a packet over the limit", rsp::Frame("123456789") + rsp::Frame("OK"), "Oversize " + PacketOf("OK"), 8},
    {"escapes count once against the limit", rsp::Frame("}]}]}]}]}]}]}]}]"), PacketOf("}}}}}}}}"), 8},
    {"a run past the limit", rsp::Frame("1*%"), "Oversize", 8},
    {"an oversize packet with a wrong checksum", Wrong("123456789"), "BadChecksum", 8},
};

TEST(RspDecoder, StreamsWholeByteByByteAndSplitAnywhere) {
    for (const StreamCase& c : kStreams) {
        SCOPED_TRACE(c.what);
        {
            rsp::Decoder decoder(c.maxPayload);
            std::vector<Event> events;
            decoder.Feed(c.stream, events);
            EXPECT_EQ(Describe(events), c.events) << "whole";
            EXPECT_FALSE(decoder.InPacket());
        }
        {
            rsp::Decoder decoder(c.maxPayload);
            std::vector<Event> events;
            for (char byte : c.stream) decoder.Feed(std::string_view(&byte, 1), events);
            EXPECT_EQ(Describe(events), c.events) << "one byte at a time";
        }
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
            rsp::Decoder decoder(c.maxPayload);
            std::vector<Event> events;
            decoder.Feed(std::string_view(c.stream).substr(0, cut), events);
            decoder.Feed(std::string_view(c.stream).substr(cut), events);
            EXPECT_EQ(Describe(events), c.events) << "split after " << cut;
        }
    }
}

TEST(RspDecoder, TellsAPacketBegunAndForgetsItOnReset) {
    rsp::Decoder decoder(64);
    std::vector<Event> events;
    decoder.Feed("+junk", events);
    EXPECT_FALSE(decoder.InPacket()) << "noise is not a packet";
    decoder.Feed("$OK#9", events);
    EXPECT_TRUE(decoder.InPacket());
    decoder.Reset();
    EXPECT_FALSE(decoder.InPacket());
    decoder.Feed("a$?#3f", events);
    EXPECT_EQ(Describe(events), "Ack " + PacketOf("?")) << "the packet begun before the reset is gone";
}

TEST(RspDecoder, SinkSeesEachEventAsItsLastByteArrives) {
    rsp::Decoder decoder(64);
    std::vector<std::string> seen;
    const std::string stream = "+" + rsp::Frame("OK") + "\x03";
    std::size_t position = 0;
    for (; position < stream.size(); ++position) {
        decoder.Feed(reinterpret_cast<const uint8_t*>(&stream[position]), 1, [&](Event&& event) {
            seen.push_back(std::to_string(position) + ":" + Describe({event}));
        });
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"0:Ack", "6:" + PacketOf("OK"), "7:Interrupt"}));
}

}  // namespace
