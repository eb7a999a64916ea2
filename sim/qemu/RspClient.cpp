#include "sim/qemu/RspClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

uint8_t Checksum(std::string_view text) {
    uint8_t sum = 0;
    for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return sum;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

RspClient::~RspClient() { Close(); }

void RspClient::Trace(const char* direction, std::string_view payload) {
    // Microseconds on the steady clock, to line up with a client's own trace.
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    std::fprintf(stderr, "qemu-rsp %lld.%06lld %s %.*s\n", static_cast<long long>(now.count() / 1000000),
                 static_cast<long long>(now.count() % 1000000), direction,
                 static_cast<int>(std::min<std::size_t>(payload.size(), 80)), payload.data());
}

void RspClient::Attach(int fd) {
    Close();
    trace_ = std::getenv("DIORX_QEMU_TRACE") != nullptr;
    fd_ = fd;
    ackMode_ = true;
    buffer_.clear();
}

void RspClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

void RspClient::WriteAll(const char* data, std::size_t size) {
    if (fd_ < 0) throw RspError("the connection is closed");
    while (size > 0) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw RspError(std::string("the connection broke: ") + std::strerror(errno));
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

bool RspClient::Fill(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) throw RspError("the connection is closed");
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw RspError(std::string("poll failed: ") + std::strerror(errno));
        }
        if (ready == 0) return false;
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw RspError(std::string("the connection broke: ") + std::strerror(errno));
        }
        if (n == 0) throw RspError("the connection was closed by the other side");
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

bool RspClient::TakePacket(std::string& payload) {
    const std::size_t start = buffer_.find('$');
    if (start == std::string::npos) {
        buffer_.clear();  // only acknowledgements (or noise) so far
        return false;
    }
    const std::size_t hash = buffer_.find('#', start);
    if (hash == std::string::npos || buffer_.size() < hash + 3) return false;
    payload.assign(buffer_, start + 1, hash - start - 1);
    const int hi = HexDigit(buffer_[hash + 1]);
    const int lo = HexDigit(buffer_[hash + 2]);
    buffer_.erase(0, hash + 3);
    if (ackMode_) {
        const bool good = hi >= 0 && lo >= 0 && ((hi << 4) | lo) == Checksum(payload);
        WriteAll(good ? "+" : "-", 1);
        if (!good) return false;  // the peer sends it again
    }
    return true;
}

void RspClient::Send(std::string_view payload) {
    if (trace_) Trace("<-", payload);
    std::string frame;
    frame.reserve(payload.size() + 4);
    frame += '$';
    frame += payload;
    frame += '#';
    const uint8_t sum = Checksum(payload);
    frame += kDigits[sum >> 4];
    frame += kDigits[sum & 15];
    WriteAll(frame.data(), frame.size());
    // In ack mode the '+' is skipped by TakePacket with the reply.
}

std::string RspClient::Receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string payload;
    while (!TakePacket(payload)) {
        if (!Fill(deadline)) throw RspError("no answer within " + std::to_string(timeout.count()) + " ms");
    }
    if (trace_) Trace("->", payload);
    return payload;
}

std::string RspClient::Transact(std::string_view payload, std::chrono::milliseconds timeout) {
    Send(payload);
    return Receive(timeout);
}

bool RspClient::PacketWaiting() {
    if (buffer_.find('$') != std::string::npos) return true;
    Fill(std::chrono::steady_clock::now());
    return buffer_.find('$') != std::string::npos;
}

void RspClient::SendInterrupt() {
    const char interrupt = 0x03;
    WriteAll(&interrupt, 1);
}

bool RspClient::StartNoAckMode(std::chrono::milliseconds timeout) {
    if (Transact("QStartNoAckMode", timeout) != "OK") return false;
    ackMode_ = false;
    return true;
}

std::string RspClient::Hex(const uint8_t* bytes, std::size_t count) {
    std::string out;
    out.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::vector<uint8_t> RspClient::FromHex(std::string_view hex) {
    std::vector<uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]);
        const int lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) throw RspError("not hexadecimal: " + std::string(hex.substr(0, 40)));
        bytes.push_back(static_cast<uint8_t>((hi << 4) | lo));
    }
    return bytes;
}

void RspClient::AppendBinary(std::string& out, const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            out += '}';
            out += static_cast<char>(c ^ 0x20);
        } else {
            out += c;
        }
    }
}

}  // namespace sim
