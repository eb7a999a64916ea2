#include "tools/gdbserver/Rsp.h"

namespace gdbserver {

namespace {
constexpr char kDigits[] = "0123456789abcdef";

bool IsLiteral(char c) { return c == ':' || c == ',' || c == ';' || c == '='; }
}  // namespace

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

uint8_t Checksum(std::string_view payload) {
    uint8_t sum = 0;
    for (char c : payload) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return sum;
}

std::string Frame(std::string_view payload) {
    const uint8_t sum = Checksum(payload);
    std::string frame;
    frame.reserve(payload.size() + 4);
    frame += '$';
    frame += payload;
    frame += '#';
    frame += kDigits[sum >> 4];
    frame += kDigits[sum & 15];
    return frame;
}

std::string EscapeBinary(const uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            text += '}';
            text += static_cast<char>(c ^ 0x20);
        } else {
            text += c;
        }
    }
    return text;
}

// ---- Decoder ------------------------------------------------------------------

void RspDecoder::Reset() {
    state_ = State::Idle;
    payload_.clear();
    oversize_ = false;
}

void RspDecoder::Feed(const uint8_t* bytes, std::size_t count, std::vector<RspEvent>& events) {
    Feed(bytes, count, [&](RspEvent&& event) { events.push_back(std::move(event)); });
}

void RspDecoder::Feed(const uint8_t* bytes, std::size_t count, const Sink& sink) {
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        const char c = static_cast<char>(byte);
        auto keep = [&](char value) {
            if (payload_.size() < maxPayload_) payload_ += value;
            else oversize_ = true;
        };
        switch (state_) {
            case State::Idle:
                if (c == '$') {
                    state_ = State::Body;
                    payload_.clear();
                    oversize_ = false;
                    sum_ = 0;
                } else if (byte == 0x03) {
                    sink({RspEvent::Interrupt, {}});
                } else if (c == '+') {
                    sink({RspEvent::Ack, {}});
                } else if (c == '-') {
                    sink({RspEvent::Nak, {}});
                }
                break;
            case State::Body:
                if (c == '#') {
                    state_ = State::Sum1;
                    break;
                }
                sum_ = static_cast<uint8_t>(sum_ + byte);
                if (c == '$') {  // a new packet starts: the broken one is dropped
                    payload_.clear();
                    oversize_ = false;
                    sum_ = 0;
                } else if (c == '}') {
                    state_ = State::Escape;
                } else {
                    keep(c);
                }
                break;
            case State::Escape:
                sum_ = static_cast<uint8_t>(sum_ + byte);
                keep(static_cast<char>(byte ^ 0x20));
                state_ = State::Body;
                break;
            case State::Sum1: {
                const auto digit = HexDigit(c);
                received_ = digit ? *digit << 4 : -1;
                state_ = State::Sum2;
                break;
            }
            case State::Sum2: {
                const auto digit = HexDigit(c);
                const bool good = digit && received_ >= 0 && (received_ | *digit) == sum_;
                if (!good) sink({RspEvent::BadChecksum, {}});
                else if (oversize_) sink({RspEvent::Oversize, {}});
                else sink({RspEvent::Packet, std::move(payload_)});
                Reset();
                break;
            }
        }
    }
}

// ---- Parser -------------------------------------------------------------------

std::string_view PacketName(std::string_view payload) {
    if (payload.empty()) return payload;
    const char first = payload.front();
    if (first != 'q' && first != 'Q' && first != 'v') return payload.substr(0, 1);
    const std::size_t end = payload.find_first_of(":;,");
    return payload.substr(0, end);
}

std::optional<Arguments> ParseArguments(std::string_view payload, std::size_t nameLength, std::string_view shape) {
    Arguments args;
    std::size_t pos = nameLength;
    for (std::size_t k = 0; k < shape.size(); ++k) {
        const char code = shape[k];
        // A field ends at the literal that follows it in the shape, or at the
        // end of the packet when it is the last field.
        auto fieldEnd = [&]() -> std::size_t {
            if (k + 1 < shape.size() && IsLiteral(shape[k + 1])) {
                const std::size_t end = payload.find(shape[k + 1], pos);
                return end == std::string_view::npos ? payload.size() : end;
            }
            return payload.size();
        };
        if (IsLiteral(code)) {
            if (pos >= payload.size() || payload[pos] != code) return std::nullopt;
            ++pos;
            continue;
        }
        switch (code) {
            case 'x': {
                uint64_t value = 0;
                std::size_t digits = 0;
                while (pos < payload.size() && HexDigit(payload[pos])) {
                    value = value << 4 | *HexDigit(payload[pos]);
                    ++pos;
                    if (++digits > 16) return std::nullopt;
                }
                if (digits == 0) return std::nullopt;
                args.numbers.push_back(value);
                break;
            }
            case 'h': {
                const std::size_t end = fieldEnd();
                auto bytes = FromHex(payload.substr(pos, end - pos));
                if (!bytes) return std::nullopt;
                args.bytes = std::move(*bytes);
                pos = end;
                break;
            }
            case 'b':
                args.bytes.assign(payload.begin() + static_cast<std::ptrdiff_t>(pos), payload.end());
                pos = payload.size();
                break;
            case 's': {
                const std::size_t end = fieldEnd();
                args.texts.emplace_back(payload.substr(pos, end - pos));
                pos = end;
                break;
            }
            case 'a':
                if (pos >= payload.size()) return std::nullopt;
                args.texts.emplace_back(1, payload[pos]);
                pos = payload.size();
                break;
            case 'r':
                args.texts.emplace_back(payload.substr(pos));
                pos = payload.size();
                break;
            default:
                return std::nullopt;
        }
    }
    if (pos != payload.size()) return std::nullopt;
    return args;
}

}  // namespace gdbserver
