// The client half of gdb's remote serial protocol, over a connected stream
// socket: acknowledgements (until no-ack mode is agreed) and the one
// out-of-band byte (0x03, interrupt). Framing, checksums, escapes and
// run-length encoding are the shared codec's (tools/common/Rsp.h): replies
// come out expanded and unescaped.
//
// Every wait is bounded: a peer that does not answer in time, or closes the
// connection, raises RspError. Not thread-safe: one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/Rsp.h"

namespace sim {

class RspError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RspClient {
public:
    RspClient() = default;
    ~RspClient();
    RspClient(const RspClient&) = delete;
    RspClient& operator=(const RspClient&) = delete;

    // Takes ownership of a connected socket.
    void Attach(int fd);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Packets sent so far (for tests and benchmarks: what an operation costs).
    uint64_t PacketsSent() const { return sent_; }

    // Sends one packet ($payload#xx) and, in ack mode, waits for its '+'.
    void Send(std::string_view payload);
    // The next packet's payload, waiting at most timeout.
    std::string Receive(std::chrono::milliseconds timeout);
    // Send, then Receive.
    std::string Transact(std::string_view payload, std::chrono::milliseconds timeout);
    // True when a packet (or part of one) waits to be read; never blocks.
    // Raises RspError when the peer has closed the connection.
    bool PacketWaiting();
    // The interrupt byte.
    void SendInterrupt();
    // Asks for no-ack mode; true when the peer agreed.
    bool StartNoAckMode(std::chrono::milliseconds timeout);

    // A reply's hex digits as bytes; raises RspError when they are not
    // pairs of hex digits.
    static std::vector<uint8_t> FromHex(std::string_view hex);

    // The longest reply taken, expanded: far more than any reply of QEMU's
    // stub (a few KiB).
    static constexpr std::size_t kMaxReply = 1 << 20;

private:
    // Reads more bytes and decodes them, acknowledging each packet in ack
    // mode, waiting at most until deadline; false on time-out. Raises
    // RspError on end of stream, and for a reply that cannot be had: too
    // long, or with a bad checksum in no-ack mode (it is not sent again).
    bool Fill(std::chrono::steady_clock::time_point deadline);
    void WriteAll(const char* data, std::size_t size);
    void Trace(const char* direction, std::string_view payload);

    int fd_ = -1;
    uint64_t sent_ = 0;
    bool ackMode_ = true;
    bool trace_ = false;  // DIORX_QEMU_TRACE set: every packet to standard error
    rsp::Decoder decoder_{kMaxReply};
    std::deque<std::string> replies_;  // decoded, not received yet
};

}  // namespace sim
