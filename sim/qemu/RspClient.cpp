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
    decoder_.Reset();
    replies_.clear();
}

void RspClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    decoder_.Reset();
    replies_.clear();
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
        std::vector<rsp::Event> events;
        decoder_.Feed(reinterpret_cast<const uint8_t*>(chunk), static_cast<std::size_t>(n), events);
        for (rsp::Event& event : events) {
            switch (event.kind) {
                case rsp::Event::Packet:
                    if (ackMode_) WriteAll("+", 1);
                    replies_.push_back(std::move(event.payload));
                    break;
                case rsp::Event::BadChecksum:
                    if (!ackMode_) throw RspError("a reply with a bad checksum (in no-ack mode it is not sent again)");
                    WriteAll("-", 1);  // the peer sends it again
                    break;
                case rsp::Event::Oversize:
                    throw RspError("a reply longer than " + std::to_string(kMaxReply) + " bytes");
                case rsp::Event::Interrupt:  // not the stub's to send
                case rsp::Event::Ack:
                case rsp::Event::Nak:  // packets are not sent again
                    break;
            }
        }
        return true;
    }
}

void RspClient::Send(std::string_view payload) {
    if (trace_) Trace("<-", payload);
    ++sent_;
    const std::string frame = rsp::Frame(payload);
    WriteAll(frame.data(), frame.size());
    // In ack mode the peer's '+' is dropped as the reply is read.
}

std::string RspClient::Receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (replies_.empty()) {
        if (!Fill(deadline)) throw RspError("no answer within " + std::to_string(timeout.count()) + " ms");
    }
    std::string payload = std::move(replies_.front());
    replies_.pop_front();
    if (trace_) Trace("->", payload);
    return payload;
}

std::string RspClient::Transact(std::string_view payload, std::chrono::milliseconds timeout) {
    Send(payload);
    return Receive(timeout);
}

bool RspClient::PacketWaiting() {
    if (!replies_.empty() || decoder_.InPacket()) return true;
    Fill(std::chrono::steady_clock::now());
    return !replies_.empty() || decoder_.InPacket();
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

std::vector<uint8_t> RspClient::FromHex(std::string_view hex) {
    auto bytes = rsp::FromHex(hex);
    if (!bytes) throw RspError("not hexadecimal: " + std::string(hex.substr(0, 40)));
    return std::move(*bytes);
}

}  // namespace sim
