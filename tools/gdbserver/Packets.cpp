#include "tools/gdbserver/Packets.h"

#include "tools/common/Rsp.h"

namespace gdbserver {

namespace {
bool IsLiteral(char c) { return c == ':' || c == ',' || c == ';' || c == '='; }
}  // namespace

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
                while (pos < payload.size() && rsp::HexDigit(payload[pos])) {
                    value = value << 4 | *rsp::HexDigit(payload[pos]);
                    ++pos;
                    if (++digits > 16) return std::nullopt;
                }
                if (digits == 0) return std::nullopt;
                args.numbers.push_back(value);
                break;
            }
            case 'h': {
                const std::size_t end = fieldEnd();
                auto bytes = rsp::FromHex(payload.substr(pos, end - pos));
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
