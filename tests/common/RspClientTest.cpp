// The QEMU core's client of gdb's remote protocol, against a stub played by
// the test over a socket pair: what it acknowledges, what it makes of
// escapes and runs in replies, and how it fails.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim/qemu/RspClient.h"
#include "tools/common/Rsp.h"

namespace {

using namespace std::chrono_literals;
using sim::RspClient;
using sim::RspError;

// The message of the RspError that f raises; "<none>" when it returns.
template <typename F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const RspError& e) {
        return e.what();
    }
    return "<none>";
}

class RspClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client_.Attach(fds[0]);
        stub_ = fds[1];
    }
    void TearDown() override {
        if (stub_ >= 0) ::close(stub_);
    }

    // The stub's side.
    void Write(const std::string& bytes) {
        ASSERT_EQ(::send(stub_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    // Everything the client has sent so far (it never blocks on the stub).
    std::string Read() {
        std::string bytes;
        pollfd p{stub_, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            char chunk[4096];
            const ssize_t n = ::recv(stub_, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            bytes.append(chunk, static_cast<std::size_t>(n));
        }
        return bytes;
    }
    void CloseStub() {
        ::close(stub_);
        stub_ = -1;
    }

    RspClient client_;
    int stub_ = -1;
};

TEST_F(RspClientTest, RepliesComeExpandedAndUnescapedAndAreAcknowledged) {
    const struct {
        const char* what;
        std::string sent;  // the reply's text as the stub sends it
        std::string reply;
    } cases[] = {
        {"plain", "OK", "OK"},
        {"a run", "0*\"1", "0000001"},
        {"escapes", "}\x03}\x04}]}\x0a", "#$}*"},
        {"a run after an escape", "}\x03*!", "#\x03\x03\x03\x03"},
        {"a register file of zeros", "0*~0*~0*Z", std::string(98 * 2 + 62, '0')},
    };
    for (const auto& c : cases) {
        client_.Send("g");
        Write("+" + rsp::Frame(c.sent));
        EXPECT_EQ(client_.Receive(2s), c.reply) << c.what;
        EXPECT_EQ(Read(), "$g#67+") << c.what;
    }
}

TEST_F(RspClientTest, BadChecksumIsRefusedInAckModeAndAnErrorInNoAckMode) {
    client_.Send("?");
    std::string bad = rsp::Frame("S05");
    bad.back() ^= 1;
    Write("+" + bad + "noise" + rsp::Frame("S05"));
    EXPECT_EQ(client_.Receive(2s), "S05") << "the stub sent it again";
    EXPECT_EQ(Read(), "$?#3f-+");

    Write("+" + rsp::Frame("OK"));
    ASSERT_TRUE(client_.StartNoAckMode(2s));
    EXPECT_EQ(Read(), rsp::Frame("QStartNoAckMode") + "+");

    client_.Send("m0,4");
    Write(rsp::Frame("0*!"));
    EXPECT_EQ(client_.Receive(2s), "00000");
    EXPECT_EQ(Read(), rsp::Frame("m0,4")) << "no acknowledgement in no-ack mode";

    client_.Send("?");
    Write(bad);
    EXPECT_NE(ErrorOf([&] { client_.Receive(2s); }).find("bad checksum"), std::string::npos) << "nobody sends it again";
}

TEST_F(RspClientTest, PacketWaitingSeesAPacketBegunAndTheEndOfTheConnection) {
    EXPECT_FALSE(client_.PacketWaiting());
    Write("+");
    EXPECT_FALSE(client_.PacketWaiting()) << "an acknowledgement is no packet";
    Write("$T05thr");
    EXPECT_TRUE(client_.PacketWaiting()) << "part of a stop reply";
    Write("ead:01;#07");
    EXPECT_TRUE(client_.PacketWaiting());
    EXPECT_EQ(client_.Receive(2s), "T05thread:01;");
    EXPECT_FALSE(client_.PacketWaiting());
    CloseStub();
    EXPECT_THROW(client_.PacketWaiting(), RspError);
}

TEST_F(RspClientTest, SilenceAndUnreadableRepliesRaise) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(ErrorOf([&] { client_.Receive(100ms); }).find("no answer within 100 ms"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    std::string runs = "a";  // runs upon runs: longer than any reply taken
    while (runs.size() / 2 * 97 <= RspClient::kMaxReply) runs += "*~";
    Write(rsp::Frame(runs));
    EXPECT_NE(ErrorOf([&] { client_.Receive(2s); }).find("longer than"), std::string::npos);

    EXPECT_THROW(RspClient::FromHex("0g"), RspError);
    EXPECT_THROW(RspClient::FromHex("123"), RspError);
    EXPECT_EQ(RspClient::FromHex("00ff"), (std::vector<uint8_t>{0x00, 0xff}));
}

}  // namespace
