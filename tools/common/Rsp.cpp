#include "tools/common/Rsp.h"

#include <algorithm>

namespace rsp {

namespace {
constexpr char kDigits[] = "0123456789abcdef";
constexpr uint8_t kEscape = '}';
constexpr uint8_t kRun = '*';
constexpr uint8_t kInterrupt = 0x03;
// A run's count character is the number of repeats plus 29, printable.
constexpr int kCountBias = 29;
constexpr int kMinRepeats = ' ' - kCountBias;  // 3
constexpr int kMaxRepeats = '~' - kCountBias;  // 97
}  // namespace

// ---- Hex ------------------------------------------------------------------

std::optional<uint8_t> HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return std::nullopt;
}

std::string ToHex(const uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::string ToHex(std::string_view text) {
    return ToHex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto high = HexDigit(text[i]);
        const auto low = HexDigit(text[i + 1]);
        if (!high || !low) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(*high << 4 | *low));
    }
    return bytes;
}

// ---- Sending ----------------------------------------------------------------

uint8_t Checksum(std::string_view text) {
    uint8_t sum = 0;
    for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return sum;
}

std::string Frame(std::string_view text) {
    const uint8_t sum = Checksum(text);
    std::string frame;
    frame.reserve(text.size() + 4);
    frame += '$';
    frame += text;
    frame += '#';
    frame += kDigits[sum >> 4];
    frame += kDigits[sum & 15];
    return frame;
}

std::string EscapeBinary(const uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        if (byte == '#' || byte == '$' || byte == kEscape || byte == kRun) {
            text += static_cast<char>(kEscape);
            text += static_cast<char>(byte ^ 0x20);
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text;
}

std::string RunLengthEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        out += c;
        std::size_t same = 1;
        while (i + same < text.size() && text[i + same] == c) ++same;
        int repeats = static_cast<int>(std::min<std::size_t>(same - 1, kMaxRepeats));
        // A repeated '}' would read as escapes of the count and of each other.
        if (static_cast<uint8_t>(c) == kEscape) repeats = 0;
        while (repeats + kCountBias == '#' || repeats + kCountBias == '$') --repeats;
        if (repeats < kMinRepeats) {
            ++i;
            continue;
        }
        out += static_cast<char>(kRun);
        out += static_cast<char>(repeats + kCountBias);
        i += 1 + static_cast<std::size_t>(repeats);
    }
    return out;
}

// ---- Decoder ------------------------------------------------------------------

void Decoder::Reset() {
    state_ = State::Idle;
    payload_.clear();
    escape_ = false;
    oversize_ = false;
    malformed_ = false;
    last_.reset();
    sum_ = 0;
}

void Decoder::Start() {
    Reset();
    state_ = State::Body;
}

void Decoder::Keep(uint8_t byte) {
    if (payload_.size() < maxPayload_) payload_ += static_cast<char>(byte);
    else oversize_ = true;
}

void Decoder::Text(uint8_t byte) {
    last_ = byte;
    if (escape_) {
        Keep(byte ^ 0x20);
        escape_ = false;
    } else if (byte == kEscape) {
        escape_ = true;
    } else {
        Keep(byte);
    }
}

void Decoder::Feed(const uint8_t* bytes, std::size_t count, std::vector<Event>& events) {
    Feed(bytes, count, [&](Event&& event) { events.push_back(std::move(event)); });
}

void Decoder::Feed(std::string_view bytes, std::vector<Event>& events) {
    Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), events);
}

void Decoder::Feed(const uint8_t* bytes, std::size_t count, const Sink& sink) {
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        switch (state_) {
            case State::Idle:
                if (byte == '$') Start();
                else if (byte == kInterrupt) sink({Event::Interrupt, {}});
                else if (byte == '+') sink({Event::Ack, {}});
                else if (byte == '-') sink({Event::Nak, {}});
                break;
            case State::Body:
                if (byte == '#') {
                    state_ = State::Sum1;
                } else if (byte == '$') {  // a new packet starts: the broken one is dropped
                    Start();
                } else {
                    sum_ = static_cast<uint8_t>(sum_ + byte);
                    if (byte == kRun) state_ = State::Count;
                    else Text(byte);
                }
                break;
            case State::Count: {
                if (byte == '#') {  // the packet ends where its count should be
                    malformed_ = true;
                    state_ = State::Sum1;
                    break;
                }
                if (byte == '$') {
                    Start();
                    break;
                }
                sum_ = static_cast<uint8_t>(sum_ + byte);
                state_ = State::Body;
                const int repeats = byte - kCountBias;
                if (!last_ || repeats < kMinRepeats || repeats > kMaxRepeats) {
                    malformed_ = true;
                    break;
                }
                const uint8_t repeated = *last_;
                for (int k = 0; k < repeats; ++k) Text(repeated);
                break;
            }
            case State::Sum1: {
                const auto digit = HexDigit(static_cast<char>(byte));
                received_ = digit ? *digit << 4 : -1;
                state_ = State::Sum2;
                break;
            }
            case State::Sum2: {
                const auto digit = HexDigit(static_cast<char>(byte));
                const bool good = digit && received_ >= 0 && (received_ | *digit) == sum_;
                Event event{Event::Packet, {}};
                if (!good || malformed_ || escape_) event.kind = Event::BadChecksum;
                else if (oversize_) event.kind = Event::Oversize;
                else event.payload = std::move(payload_);
                Reset();
                sink(std::move(event));
                break;
            }
        }
    }
}

}  // namespace rsp
