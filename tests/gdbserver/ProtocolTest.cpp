// The server's remote protocol on a raw socket: framing, acknowledgements,
// malformed and oversize packets, binary data, and runs that end by a
// breakpoint, an interrupt, a vanished client or a shutdown.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/Boards.h"
#include "tests/gdbserver/Processes.h"
#include "tools/gdbserver/GdbServer.h"
#include "tools/orxdbg/Image.h"

namespace {

using namespace std::chrono_literals;
using gdbtest::ServerProcess;

constexpr int kReplyTimeoutMs = 10000;

std::string Framed(const std::string& payload) {
    unsigned sum = 0;
    for (unsigned char c : payload) sum += c;
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
    return "$" + payload + tail;
}

std::string Hex(const std::string& text) {
    std::string out;
    char digits[3];
    for (unsigned char c : text) {
        std::snprintf(digits, sizeof digits, "%02x", c);
        out += digits;
    }
    return out;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// A function of the sample firmware, in hex as packets name it, and as the
// little-endian register value of a pc there.
struct CodeAddress {
    std::string hex;
    std::string pcValue;
};
CodeAddress FirmwareFunction(const std::string& name) {
    orxdbg::Image image;
    std::string error;
    if (!orxdbg::ReadElf(DIORX_FIRMWARE_ELF, image, error)) return {"<" + error + ">", ""};
    const orxdbg::Symbol* symbol = image.symbols.Find(name);
    if (!symbol) return {"<no " + name + ">", ""};
    const auto a = static_cast<uint32_t>(symbol->address);
    char hex[16], value[16];
    std::snprintf(hex, sizeof hex, "%x", a);
    std::snprintf(value, sizeof value, "%02x%02x%02x%02x", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24);
    return {hex, value};
}

// A stop reply without the registers it carries ("NN:value;"): what the
// stop is, whatever the registers' values.
std::string StopOf(const std::string& reply) {
    return std::regex_replace(reply, std::regex(";[0-9a-f]{2}:[0-9a-f]{8}"), "");
}

// A gdb stand-in that speaks the protocol byte by byte.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool Connected() const { return connected_; }

    void SendRaw(const std::string& bytes) { ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    void Send(const std::string& payload) { SendRaw(Framed(payload)); }

    // The next byte; none at the timeout or the end of the connection.
    std::optional<char> ReadByte(int timeoutMs = kReplyTimeoutMs) {
        if (buffer_.empty()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
            char data[65536];
            const ssize_t n = recv(fd_, data, sizeof data, 0);
            if (n <= 0) return std::nullopt;
            buffer_.append(data, static_cast<std::size_t>(n));
        }
        const char c = buffer_.front();
        buffer_.erase(0, 1);
        return c;
    }

    // A reply packet's payload, its checksum verified; "<none>" when none came.
    std::string ReadPacket() {
        std::optional<char> c;
        while ((c = ReadByte()) && *c != '$') {
            if (*c != '+') return std::string("<unexpected ") + *c + ">";
        }
        if (!c) return "<none>";
        std::string payload;
        while ((c = ReadByte()) && *c != '#') payload += *c;
        const auto high = ReadByte(), low = ReadByte();
        if (!c || !high || !low) return "<none>";
        unsigned sum = 0;
        for (unsigned char b : payload) sum += b;
        if (std::stoi(std::string{*high, *low}, nullptr, 16) != int(sum & 0xFF)) return "<bad checksum>";
        return payload;
    }

    std::string Exchange(const std::string& payload) {
        Send(payload);
        return ReadPacket();
    }

    void StartNoAckMode() {
        Send("QStartNoAckMode");
        ASSERT_EQ(ReadByte(), '+');
        ASSERT_EQ(ReadPacket(), "OK");
        SendRaw("+");
    }

    // True when nothing arrives within the time.
    bool Quiet(int timeoutMs) { return !ReadByte(timeoutMs); }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

class Protocol : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ServerProcess;
        ASSERT_TRUE(server_->Start({"--elf", DIORX_FIRMWARE_ELF, "--poll-ms", "10"})) << server_->Output();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(server_->Terminate(), 0) << server_->Output();
        delete server_;
        server_ = nullptr;
    }
    static int Port() { return server_->Port(); }
    // A client in no-ack mode with the core reset and halted at its reset vector.
    static void Prepare(RawClient& client) {
        ASSERT_TRUE(client.Connected());
        client.StartNoAckMode();
        ASSERT_NE(Unhex(client.Exchange("qRcmd," + Hex("reset"))).find("reset:"), std::string::npos);
    }
    static ServerProcess* server_;
};
ServerProcess* Protocol::server_ = nullptr;

TEST_F(Protocol, AcknowledgesGoodPacketsAndRejectsBadChecksums) {
    RawClient client(Port());
    ASSERT_TRUE(client.Connected());
    client.SendRaw("$?#3f");
    EXPECT_EQ(client.ReadByte(), '+');
    const std::string stop = client.ReadPacket();
    EXPECT_TRUE(std::regex_match(StopOf(stop), std::regex("T0[25]thread:1;"))) << stop;
    client.SendRaw("+");

    client.SendRaw("$?#00");  // wrong checksum
    EXPECT_EQ(client.ReadByte(), '-');
    client.SendRaw("$?#zz");  // checksum digits that are not hex
    EXPECT_EQ(client.ReadByte(), '-');
    EXPECT_TRUE(client.Quiet(200)) << "a rejected packet gets no reply";

    client.SendRaw("-");  // gdb did not get the last reply: it comes again
    EXPECT_EQ(client.ReadPacket(), stop);

    client.SendRaw("noise" + Framed("m0,2"));  // noise before a packet is dropped
    EXPECT_EQ(client.ReadByte(), '+');
    EXPECT_EQ(client.ReadPacket().size(), 4u);
    client.SendRaw("+$m0,");  // a broken packet cut off by the next '$': the next one counts
    client.SendRaw(Framed("qC"));
    EXPECT_EQ(client.ReadByte(), '+');
    EXPECT_EQ(client.ReadPacket(), "QC1");

    client.StartNoAckMode();
    client.Send("qC");
    EXPECT_EQ(client.ReadByte(), '$') << "no acknowledgement in no-ack mode";
}

TEST_F(Protocol, MalformedAndUnknownPacketsGetErrorOrEmptyReplies) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const struct {
        const char* packet;
        const char* reply;
    } cases[] = {
        {"", ""},
        {"qFooBar", ""},
        {"vMustReplyEmpty", ""},
        {"Z5,20000000,4", ""},  // no such breakpoint type
        {"Z2,20000000,0", "E02"},  // a watchpoint of no bytes
        {"Z3,ffffffff,2", "E02"},  // past the end of the address space
        {"mzz,4", "E01"},
        {"m20000000", "E01"},
        {"m20000000,4,5", "E01"},
        {"m11112222333344445,1", "E01"},  // 17 digits
        {"M20000000,4:0011", "E01"},       // fewer bytes than announced
        {"M20000000,2:zz00", "E01"},
        {"M20000000,2:001", "E01"},
        {"X20000000,2", "E01"},
        {"p99", "E01"},
        {"p", "E01"},
        {"P0=1234", "E01"},
        {"G00", "E01"},
        {"Z0,100,4", "E01"},  // an ARM-state breakpoint on a Thumb-only core
        {"Z0,100", "E01"},
        {"vCont;x", "E01"},
        {"vCont", "E01"},
        {"qRcmd,zz", "E01"},
        {"qXfer:features:read:target.xml:0,zz", "E01"},
        {"qXfer:features:read:other.xml:0,10", "E00"},
        {"qXfer:features:write:target.xml:0,10", ""},
        {"qAttached", "1"},
        {"qfThreadInfo", "m1"},
        {"qsThreadInfo", "l"},
        {"Hg0", "OK"},
        {"vCont?", "vCont;c;C;s;S"},
        {"T1", "OK"},
        {"T2", "E01"},  // no thread 2
        {"Z0,40000000,2", "E0e"},  // no memory there
        {"Z0,3fffe,3", "E0e"},     // runs past the end of the flash
        {"C", "E01"},
        {"vAttach;2", "E01"},
    };
    for (const auto& c : cases) EXPECT_EQ(client.Exchange(c.packet), c.reply) << c.packet;
    EXPECT_TRUE(std::regex_match(client.Exchange("g"), std::regex("[0-9a-f]{136}"))) << "17 registers";
    EXPECT_EQ(client.Exchange("p19").size(), 8u) << "xpsr, by gdb's number";

    const std::string oversize(0x4000 + 16, 'q');
    client.Send(oversize);
    EXPECT_EQ(client.ReadPacket(), "E01");
    EXPECT_EQ(client.Exchange("qC"), "QC1") << "the connection goes on after an oversize packet";
}

TEST_F(Protocol, BinaryAndHexWritesReadBackThroughTheModule) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    // '#', '$', '}' and '*' travel escaped; the other bytes as they are.
    const std::string escaped = "}\x03}\x04}]}\x0a" + std::string("\x00\xff\x03" "A", 4);
    EXPECT_EQ(client.Exchange("X20001000,8:" + escaped), "OK");
    EXPECT_EQ(client.Exchange("m20001000,8"), "23247d2a00ff0341");
    EXPECT_EQ(client.Exchange("M20001003,2:beef"), "OK");
    EXPECT_EQ(client.Exchange("m20001000,8"), "23247dbeefff0341");
    EXPECT_EQ(client.Exchange("X20001000,0:"), "OK") << "gdb's probe for binary writes";
    EXPECT_EQ(client.Exchange("m40000000,4"), "E0e") << "nothing is mapped there";
    EXPECT_EQ(client.Exchange("M40000000,1:00"), "E0e");
    EXPECT_EQ(client.Exchange("X40000000,1:A"), "E0e");
    EXPECT_EQ(client.Exchange("m3fffe,4").size(), 4u) << "a read across the end of RAM gives what there is";
    EXPECT_EQ(client.Exchange("P7=78563412"), "OK");
    EXPECT_EQ(client.Exchange("p7"), "78563412");
}

TEST_F(Protocol, TargetDescriptionAndMemoryMapComeInPieces) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    auto readAll = [&](const std::string& object, const std::string& annex) {
        std::string content;
        for (int i = 0; i < 200; ++i) {
            char range[32];
            std::snprintf(range, sizeof range, ":%zx,20", content.size());
            const std::string piece = client.Exchange("qXfer:" + object + ":read:" + annex + range);
            if (piece.empty() || (piece[0] != 'm' && piece[0] != 'l')) return "<" + piece + ">";
            content += piece.substr(1);
            if (piece[0] == 'l') break;
        }
        return content;
    };
    const std::string description = readAll("features", "target.xml");
    for (const char* part : {"<feature name=\"org.gnu.gdb.arm.m-profile\">", "<reg name=\"r0\" bitsize=\"32\" regnum=\"0\"",
                             "<reg name=\"pc\" bitsize=\"32\" regnum=\"15\"", "<reg name=\"xpsr\" bitsize=\"32\" regnum=\"25\""})
        EXPECT_NE(description.find(part), std::string::npos) << part << " in\n" << description;
    const std::string map = readAll("memory-map", "");
    for (const char* part : {"<memory type=\"flash\" start=\"0x00000000\" length=\"0x00040000\">",
                             "<property name=\"blocksize\">0x00000400</property>",
                             "<memory type=\"ram\" start=\"0x20000000\" length=\"0x00010000\"/>"})
        EXPECT_NE(map.find(part), std::string::npos) << part << " in\n" << map;
    const std::string supported = client.Exchange("qSupported:multiprocess+;swbreak+;vContSupported+");
    for (const char* part : {"PacketSize=4000", "qXfer:features:read+", "qXfer:memory-map:read+", "QStartNoAckMode+"})
        EXPECT_NE(supported.find(part), std::string::npos) << part << " in " << supported;
}

// The target description and memory map gdb reads are the served board's,
// whatever board the tool's own commands would use (here the default).
TEST(ProtocolDocuments, DescribeTheServedBoard) {
    const struct {
        const char* board;
        std::vector<std::string> description, map;
        const char* absent;
    } cases[] = {
        {"cortexm",
         {"<architecture>arm</architecture>", "<feature name=\"org.gnu.gdb.arm.m-profile\">",
          "<reg name=\"sp\" bitsize=\"32\" regnum=\"13\" type=\"data_ptr\"/>",
          "<reg name=\"xpsr\" bitsize=\"32\" regnum=\"25\"/>"},
         {"<memory type=\"flash\" start=\"0x00000000\" length=\"0x00040000\">"},
         "power"},
        {"qemu:virtex-ml507",
         {"<architecture>powerpc:common</architecture>", "<feature name=\"org.gnu.gdb.power.core\">",
          "<reg name=\"pc\" bitsize=\"32\" regnum=\"64\" type=\"code_ptr\"/>",
          "<reg name=\"xer\" bitsize=\"32\" regnum=\"69\"/>"},
         {"<memory type=\"flash\" start=\"0xfc000000\" length=\"0x01000000\">",
          "<memory type=\"ram\" start=\"0x83e00000\" length=\"0x00010000\"/>"},
         "arm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.board);
        const sim::Board& board = *sim::FindBoard(c.board);
        const std::string description = gdbserver::TargetDescription(board), map = gdbserver::MemoryMap(board);
        for (const std::string& text : c.description) EXPECT_NE(description.find(text), std::string::npos) << text << "\n" << description;
        for (const std::string& text : c.map) EXPECT_NE(map.find(text), std::string::npos) << text << "\n" << map;
        EXPECT_EQ(description.find(c.absent), std::string::npos) << description;
    }
}

TEST_F(Protocol, RunsEndAtABreakpointOrAnInterrupt) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const CodeAddress sumTable = FirmwareFunction("sum_table");
    EXPECT_EQ(client.Exchange("Z1," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("p f"), "E01") << "a space is no hex digit";
    EXPECT_EQ(client.Exchange("pf"), sumTable.pcValue);
    EXPECT_EQ(client.Exchange("z1," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T05thread:1;");
    EXPECT_NE(client.Exchange("pf"), sumTable.pcValue) << "one instruction on";

    EXPECT_EQ(client.Exchange("Pf=00000030"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T0bthread:1;") << "nothing to execute at 0x30000000";
    EXPECT_EQ(client.Exchange("pf"), "00000030");
    ASSERT_NE(Unhex(client.Exchange("qRcmd," + Hex("reset"))).find("reset:"), std::string::npos);

    client.Send("vCont;c");  // main's endless loop
    EXPECT_TRUE(client.Quiet(300)) << "no stop reply while the core runs";
    client.SendRaw("\x03");
    EXPECT_EQ(StopOf(client.ReadPacket()), "T02thread:1;");
    EXPECT_EQ(StopOf(client.Exchange("?")), "T02thread:1;");
    EXPECT_NE(Unhex(client.Exchange("qRcmd," + Hex("status"))).find("status: halted (cause 128)"), std::string::npos);

    // k resets and halts, with no reply; gdb's breakpoints are gone.
    EXPECT_EQ(client.Exchange("Z0," + sumTable.hex + ",2"), "OK");
    client.Send("k");
    EXPECT_TRUE(client.Quiet(300));
    EXPECT_EQ(client.Exchange("pf"), "42000000") << "at the reset vector";
    EXPECT_EQ(StopOf(client.Exchange("?")), "T05thread:1;");
    client.Send("vCont;c");
    EXPECT_TRUE(client.Quiet(300)) << "no breakpoint left in sum_table";
    client.SendRaw("\x03");
    EXPECT_EQ(StopOf(client.ReadPacket()), "T02thread:1;");
}

// Each stop reply carries r7, sp and pc by gdb's numbers, so that
// gdb finds the stopped frame without reading every register: each exactly
// as p reads it, also after a write.
TEST_F(Protocol, StopRepliesCarryTheRegistersOfTheStoppedFrame) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const CodeAddress sumTable = FirmwareFunction("sum_table");
    EXPECT_EQ(client.Exchange("Z1," + sumTable.hex + ",2"), "OK");
    const auto fieldsOf = [](const std::string& stop) {
        std::map<std::string, std::string> fields;
        const std::regex field(";([0-9a-f]{2}):([0-9a-f]{8})");
        for (auto it = std::sregex_iterator(stop.begin(), stop.end(), field); it != std::sregex_iterator(); ++it)
            fields[(*it)[1]] = (*it)[2];
        return fields;
    };
    const std::vector<std::string> expedited{"07", "0d", "0f"};
    const struct {
        const char* packet;
        const char* before;  // a register write first, or nothing
    } cases[] = {{"vCont;c", ""}, {"vCont;s:1", ""}, {"?", "P7=44332211"}, {"vCont;s:1", "Pd=f0ff0020"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packet);
        if (*c.before) EXPECT_EQ(client.Exchange(c.before), "OK");
        const auto fields = fieldsOf(client.Exchange(c.packet));
        std::vector<std::string> numbers;
        for (const auto& [number, value] : fields) {
            numbers.push_back(number);
            EXPECT_EQ(value, client.Exchange("p" + number)) << "register " << number;
        }
        EXPECT_EQ(numbers, expedited);
        if (std::string(c.packet) == "vCont;c") EXPECT_EQ(fields.at("0f"), sumTable.pcValue);
        if (std::string(c.before) == "P7=44332211") EXPECT_EQ(fields.at("07"), "44332211");
    }
}

TEST_F(Protocol, AClientThatVanishesDuringARunLeavesTheCoreHaltedForTheNext) {
    {
        RawClient client(Port());
        ASSERT_NO_FATAL_FAILURE(Prepare(client));
        client.Send("vCont;c");
        EXPECT_TRUE(client.Quiet(300));
    }
    RawClient next(Port());
    ASSERT_TRUE(next.Connected());
    next.StartNoAckMode();
    EXPECT_NE(Unhex(next.Exchange("qRcmd," + Hex("status"))).find("status: halted (cause 128)"), std::string::npos);
    const std::string pc = next.Exchange("pf");
    std::this_thread::sleep_for(100ms);
    next.Send("qRcmd," + Hex("halt"));
    next.ReadPacket();
    EXPECT_EQ(next.Exchange("pf"), pc) << "the core stays where it was halted";
}

// ---- Watchpoints --------------------------------------------------------------

std::string HexAddress(const std::string& symbol, uint32_t offset = 0) {
    orxdbg::Image image;
    std::string error;
    if (!orxdbg::ReadElf(DIORX_FIRMWARE_ELF, image, error)) return "<" + error + ">";
    const orxdbg::Symbol* found = image.symbols.Find(symbol);
    if (!found) return "<no " + symbol + ">";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<uint32_t>(found->address) + offset);
    return hex;
}

// A pc register value (little-endian hex) as a number.
uint32_t PcValue(const std::string& reply) {
    uint32_t value = 0;
    for (int i = 3; i >= 0 && reply.size() == 8; --i) value = value << 8 | std::stoul(reply.substr(2 * i, 2), nullptr, 16);
    return value;
}

TEST_F(Protocol, WatchpointsStopOnTheInstructionThatAccessesTheRange) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const std::string tableSum = HexAddress("table_sum"), table5 = HexAddress("table", 20), loopCount = HexAddress("loop_count");
    const uint32_t sumTable = std::stoul(HexAddress("sum_table"), nullptr, 16), main = std::stoul(HexAddress("main"), nullptr, 16);

    // Read: compute_table's store to table[5] passes; sum_table's load stops.
    EXPECT_EQ(client.Exchange("Z3," + table5 + ",4"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05rwatch:" + std::string(8 - table5.size(), '0') + table5 + ";thread:1;");
    const uint32_t pc = PcValue(client.Exchange("pf"));
    EXPECT_GT(pc, sumTable);
    EXPECT_LT(pc, main);
    EXPECT_EQ(client.Exchange("m" + table5 + ",4"), "93000000") << "table[5] = 147 was written before";
    EXPECT_EQ(client.Exchange("z3," + table5 + ",4"), "OK");

    // A breakpoint comes first; the write stops with the store not yet done,
    // and a step stores.
    EXPECT_EQ(client.Exchange("Z2," + tableSum + ",4"), "OK");
    EXPECT_EQ(client.Exchange("Z2," + tableSum + ",4"), "OK") << "the same watchpoint twice";
    EXPECT_EQ(client.Exchange("Z0," + HexAddress("main", 0x10) + ",2"), "OK");
    const std::string stop = client.Exchange("vCont;c");
    EXPECT_TRUE(StopOf(stop) == "T05thread:1;") << stop;
    EXPECT_EQ(client.Exchange("z0," + HexAddress("main", 0x10) + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05watch:" + std::string(8 - tableSum.size(), '0') + tableSum + ";thread:1;");
    EXPECT_EQ(client.Exchange("m" + tableSum + ",4"), "00000000");
    EXPECT_EQ(client.Exchange("z2," + tableSum + ",4"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T05watch:" + std::string(8 - tableSum.size(), '0') + tableSum + ";thread:1;")
        << "one of the two is still set: the step reports it";
    EXPECT_EQ(client.Exchange("z2," + tableSum + ",4"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("m" + tableSum + ",4"), "183a0000") << "14872 after the step";

    // Access: main's loop reads loop_count first.
    EXPECT_EQ(client.Exchange("Z4," + loopCount + ",4"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05awatch:" + std::string(8 - loopCount.size(), '0') + loopCount + ";thread:1;");
    EXPECT_EQ(client.Exchange("z4," + loopCount + ",4"), "OK");

    // A watched run that never hits stops at gdb's interrupt.
    EXPECT_EQ(client.Exchange("Z2,20008000,4"), "OK");
    client.Send("vCont;c");
    EXPECT_TRUE(client.Quiet(300)) << "no stop reply while the watched run goes on";
    client.SendRaw("\x03");
    EXPECT_EQ(StopOf(client.ReadPacket()), "T02thread:1;");
    EXPECT_NE(client.Exchange("m" + loopCount + ",4"), "00000000") << "the loop ran while watched";
}

// The interrupt that ends a watched run is used up by it: after a reset the
// next run, watched or not, goes on to its breakpoint.
TEST_F(Protocol, AnInterruptEndsTheWatchedRunItCameInAndNoLaterOne) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const CodeAddress sumTable = FirmwareFunction("sum_table");
    EXPECT_EQ(client.Exchange("Z2,20008000,4"), "OK");
    client.Send("vCont;c");
    EXPECT_TRUE(client.Quiet(300)) << "no stop reply while the watched run goes on";
    client.SendRaw("\x03");
    EXPECT_EQ(StopOf(client.ReadPacket()), "T02thread:1;");
    ASSERT_NE(Unhex(client.Exchange("qRcmd," + Hex("reset halt"))).find("reset:"), std::string::npos);
    EXPECT_EQ(client.Exchange("Z0," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05thread:1;") << "the watched run reaches the breakpoint";
    EXPECT_EQ(client.Exchange("pf"), sumTable.pcValue);
    EXPECT_EQ(client.Exchange("z0," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(client.Exchange("z2,20008000,4"), "OK");
}

// gdb sets a watchpoint on whatever an expression names, readable or not
// (watch **pp where *pp points nowhere): it is taken, and as nothing can
// change there, never stops a step or a run.
TEST_F(Protocol, AWatchpointOnUnreadableMemoryNeverBlocksARun) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const CodeAddress sumTable = FirmwareFunction("sum_table");
    ASSERT_EQ(client.Exchange("m20010000,1").substr(0, 1), "E") << "the byte past RAM cannot be read";
    ASSERT_EQ(client.Exchange("m3fffe,4").size(), 4u) << "two bytes of flash, then nothing";
    for (const std::string kind : {"2", "3", "4"}) {
        SCOPED_TRACE("Z" + kind);
        ASSERT_NE(Unhex(client.Exchange("qRcmd," + Hex("reset halt"))).find("reset:"), std::string::npos);
        EXPECT_EQ(client.Exchange("Z" + kind + ",20010000,1"), "OK");
        EXPECT_EQ(client.Exchange("Z" + kind + ",3fffe,4"), "OK") << "the last two bytes of flash and two past";
        EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T05thread:1;");
        EXPECT_EQ(client.Exchange("Z0," + sumTable.hex + ",2"), "OK");
        EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05thread:1;");
        EXPECT_EQ(client.Exchange("pf"), sumTable.pcValue);
        EXPECT_EQ(client.Exchange("z0," + sumTable.hex + ",2"), "OK");
        EXPECT_EQ(client.Exchange("z" + kind + ",20010000,1"), "OK");
        EXPECT_EQ(client.Exchange("z" + kind + ",3fffe,4"), "OK");
    }
}

TEST_F(Protocol, WatchedRunsGoRoundLoopsAndStopAtFaults) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    EXPECT_EQ(client.Exchange("Z2,20008100,4"), "OK");
    // subs r0, #1; bne back; b . : a loop of instructions without memory
    // accesses comes back to where a step began.
    EXPECT_EQ(client.Exchange("M20008000,6:0138fdd1fee7"), "OK");
    EXPECT_EQ(client.Exchange("P0=05000000"), "OK");
    EXPECT_EQ(client.Exchange("Pf=00800020"), "OK");
    EXPECT_EQ(client.Exchange("Z0,20008004,2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("pf"), "04800020");
    EXPECT_EQ(client.Exchange("p0"), "00000000") << "five rounds";
    EXPECT_EQ(client.Exchange("z0,20008004,2"), "OK");
    // movs r1, #1; udf #0: the core cannot go on.
    EXPECT_EQ(client.Exchange("M20008000,4:012100de"), "OK");
    EXPECT_EQ(client.Exchange("Pf=00800020"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T0bthread:1;");
    EXPECT_EQ(client.Exchange("pf"), "02800020");
    EXPECT_EQ(client.Exchange("p1"), "01000000");
}

// ---- Semihosting ---------------------------------------------------------------

class ProtocolSemihosting : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start({"--elf", DIORX_HELLO_ELF, "--semihosting"})) << server_.Output();
        client_ = std::make_unique<RawClient>(server_.Port());
        ASSERT_TRUE(client_->Connected());
        client_->StartNoAckMode();
    }
    // The output of O packets up to the stop reply, which goes to stop.
    std::string Output(std::string& stop) {
        std::string text;
        for (int i = 0; i < 100; ++i) {
            stop = client_->ReadPacket();
            if (stop.empty() || stop[0] != 'O' || stop == "OK") break;
            text += Unhex(stop.substr(1));
        }
        return text;
    }
    // A call made by a bkpt 0xab in RAM, followed by an endless loop.
    void PlaceCall(uint32_t operation, uint32_t parameter) {
        ASSERT_EQ(client_->Exchange("M20008000,4:abbefee7"), "OK");
        char text[32];
        std::snprintf(text, sizeof text, "P0=%02x%02x%02x%02x", operation & 0xFF, (operation >> 8) & 0xFF,
                      (operation >> 16) & 0xFF, operation >> 24);
        ASSERT_EQ(client_->Exchange(text), "OK");
        std::snprintf(text, sizeof text, "P1=%02x%02x%02x%02x", parameter & 0xFF, (parameter >> 8) & 0xFF,
                      (parameter >> 16) & 0xFF, parameter >> 24);
        ASSERT_EQ(client_->Exchange(text), "OK");
        ASSERT_EQ(client_->Exchange("Pf=00800020"), "OK");
    }
    ServerProcess server_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(ProtocolSemihosting, TheProgramsOutputReachesGdbAndItsExitEndsTheRun) {
    client_->Send("vCont;c");
    std::string stop;
    const std::string text = Output(stop);
    const std::string hello = "hello from the simulated Cortex-M3\nsum of the squares 1..10: 385 (0x181), via SYS_WRITE\n";
    EXPECT_EQ(text.substr(0, hello.size()), hello);
    EXPECT_EQ(stop, "W00");
    client_.reset();
    EXPECT_EQ(server_.Terminate(), 0);
    EXPECT_NE(server_.Output().find(hello), std::string::npos) << "the server's console shows it too:\n" << server_.Output();
    EXPECT_NE(server_.Output().find("semihosting: the program exited with code 0\n"), std::string::npos) << server_.Output();
}

TEST_F(ProtocolSemihosting, ExitCodesBreakpointsStepsAndTheMonitorSwitch) {
    RawClient& client = *client_;
    // SYS_EXIT_EXTENDED with its code, SYS_EXIT with an abnormal reason.
    ASSERT_EQ(client.Exchange("M20008010,8:2600020003000000"), "OK");
    ASSERT_NO_FATAL_FAILURE(PlaceCall(0x20, 0x20008010));
    EXPECT_EQ(client.Exchange("vCont;c"), "W03");
    ASSERT_NO_FATAL_FAILURE(PlaceCall(0x18, 0x20023));
    EXPECT_EQ(client.Exchange("vCont;c"), "X06");

    // A breakpoint right after the call stops the run there.
    ASSERT_EQ(client.Exchange("M20008020,4:6f6b0a00"), "OK");
    ASSERT_NO_FATAL_FAILURE(PlaceCall(0x04, 0x20008020));
    EXPECT_EQ(client.Exchange("Z0,20008002,2"), "OK");
    client.Send("vCont;c");
    std::string stop;
    EXPECT_EQ(Output(stop), "ok\n");
    EXPECT_EQ(StopOf(stop), "T05thread:1;");
    EXPECT_EQ(client.Exchange("pf"), "02800020");
    EXPECT_EQ(client.Exchange("z0,20008002,2"), "OK");

    // A step over a call carries it out: SYS_TIME's result in r0.
    ASSERT_NO_FATAL_FAILURE(PlaceCall(0x11, 0));
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("pf"), "02800020");
    const uint32_t time = PcValue(client.Exchange("p0"));
    EXPECT_GE(time, now);
    EXPECT_LE(time, now + 5);

    // Switched off, the call stops the core on the bkpt, as any bkpt does.
    EXPECT_EQ(Unhex(client.Exchange("qRcmd," + Hex("arm semihosting disable"))), "semihosting is disabled\n");
    ASSERT_NO_FATAL_FAILURE(PlaceCall(0x04, 0x20008020));
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("pf"), "00800020");
    EXPECT_EQ(Unhex(client.Exchange("qRcmd," + Hex("arm semihosting enable"))), "semihosting is enabled\n");
    EXPECT_EQ(Unhex(client.Exchange("qRcmd," + Hex("arm semihosting"))), "semihosting is enabled\n");
    EXPECT_EQ(Unhex(client.Exchange("qRcmd," + Hex("arm semihosting maybe"))),
              "usage: monitor arm semihosting [enable|disable]\n");
    client.Send("vCont;c");
    EXPECT_EQ(Unhex(client.ReadPacket().substr(1)), "ok\n");
    EXPECT_TRUE(client.Quiet(300)) << "the loop after the call runs";
    client.SendRaw("\x03");
    EXPECT_EQ(StopOf(client.ReadPacket()), "T02thread:1;");
}

TEST(ProtocolShutdown, SigtermDuringARunHaltsAndCloses) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF})) << server.Output();
    RawClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    client.StartNoAckMode();
    client.Send("vCont;c");
    EXPECT_TRUE(client.Quiet(300));
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
    EXPECT_NE(server.Output().find("shutting down"), std::string::npos) << server.Output();
}

TEST(ProtocolCommandLine, BadOptionsStopBeforeListening) {
    // Files that are no image, and one whose data lies beyond the flash (an
    // Intel HEX record at 0x3fff0, 32 bytes): the refused address is named.
    const std::string directory = ::testing::TempDir();
    const std::string text = directory + "gdbserver_not_an_image.txt";
    const std::string empty = directory + "gdbserver_empty.elf";
    const std::string beyond = directory + "gdbserver_beyond_flash.hex";
    std::ofstream(text) << "hello\n";
    std::ofstream(empty).flush();
    {
        std::ofstream hex(beyond);
        hex << ":020000040003F7\n:20FFF000";
        unsigned sum = 0x20 + 0xFF + 0xF0;
        for (int i = 0; i < 32; ++i) {
            hex << "00";
        }
        char check[4];
        std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        hex << check << "\n:00000001FF\n";
    }
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"--port", "65536"}, "--port takes a number from 0 to 65535"},
        {{"--port", "x"}, "--port takes a number"},
        {{"--port", ""}, "--port takes a number"},
        {{"--poll-ms", "0"}, "--poll-ms takes a number from 1 to 500"},
        {{"--poll-ms", "501"}, "--poll-ms takes a number"},
        {{"--bind", "not-an-address"}, "--bind takes an IPv4 address"},
        {{"--elf", "/nonexistent.elf"}, "cannot open /nonexistent.elf"},
        {{"--elf", directory}, "is a directory, not an image file"},
        {{"--elf", text}, "is neither an ELF file nor an Intel HEX file"},
        {{"--elf", empty}, "is neither an ELF file nor an Intel HEX file"},
        {{"--elf", beyond}, "the target refused address 0x00040000"},
        {{"--module", "/nonexistent.so"}, "/nonexistent.so"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--port"}, "--port needs a value"},
        {{"--target", "qemu:petalogix-s3adsp1800"}, "gdb does not know MicroBlaze"},
        {{"--target", "qemu:virtex-ml507", "--semihosting"}, "--semihosting: ARM boards only"},
        {{"--rtos", "freertos"}, "--rtos takes auto or none"},
        {{"--rtos"}, "--rtos needs a value"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{ORXDBG_PROGRAM, "gdbserver"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = gdbtest::RunProcess(argv, 30);
        const std::string what = c.arguments[0] + (c.arguments.size() > 1 ? " " + c.arguments[1] : "");
        EXPECT_EQ(result.exitStatus, 2) << what << "\n" << result.output;
        EXPECT_EQ(result.output.find("listening on"), std::string::npos) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << what << "\n" << result.output;
        EXPECT_TRUE(std::regex_match(result.output, std::regex("orxdbg gdbserver: [^\n]*\n"))) << what << ": one line\n"
                                                                                               << result.output;
    }
    std::remove(text.c_str());
    std::remove(empty.c_str());
    std::remove(beyond.c_str());
    const auto bound = gdbtest::RunProcess({ORXDBG_PROGRAM, "gdbserver", "--bind", "0.0.0.0", "--elf", "/nonexistent.elf"}, 30);
    EXPECT_EQ(bound.exitStatus, 2);
    EXPECT_NE(bound.output.find("warning: --bind 0.0.0.0: whoever reaches the port can read and write the target"),
              std::string::npos)
        << bound.output;
}


// ---- Runs that meet a fault, an interrupt or a restart ------------------------------

// Code written into RAM: the pc set there, then runs and steps.
class ProtocolFaults : public Protocol {
protected:
    // 0x20000100 movs r0,#0; 0x20000102 bkpt #0x2a; 0x20000104 ldr r0,[r1];
    // 0x20000106 b .
    static void WriteCode(RawClient& client) {
        ASSERT_EQ(client.Exchange("M20000100,8:00202abe0868fee7"), "OK");
        ASSERT_EQ(client.Exchange("P1=00000040"), "OK");  // r1: 0x40000000, where nothing answers
    }
    static void SetPc(RawClient& client, const std::string& littleEndian) {
        ASSERT_EQ(client.Exchange("Pf=" + littleEndian), "OK");
    }
};

TEST_F(ProtocolFaults, AStepThatCannotExecuteItsInstructionIsAFaultStop) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    ASSERT_NO_FATAL_FAILURE(WriteCode(client));
    // gdb steps again on a T05 with the pc inside the line: the step must
    // say that it did not happen.
    SetPc(client, "04010020");
    EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T0bthread:1;") << "a load from unmapped memory";
    EXPECT_EQ(client.Exchange("pf"), "04010020");
    EXPECT_EQ(StopOf(client.Exchange("s")), "T0bthread:1;");
    SetPc(client, "02010020");
    EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T0bthread:1;") << "a bkpt, stepped";
    EXPECT_EQ(client.Exchange("pf"), "02010020");
    // A continue stops on them: a bkpt with SIGTRAP, the bad load with SIGSEGV.
    SetPc(client, "00010020");
    EXPECT_EQ(StopOf(client.Exchange("vCont;c")), "T05thread:1;") << "a run that reaches a bkpt";
    EXPECT_EQ(client.Exchange("pf"), "02010020");
    EXPECT_EQ(StopOf(client.Exchange("c")), "T05thread:1;") << "a continue from a bkpt";
    EXPECT_EQ(client.Exchange("pf"), "02010020");
    SetPc(client, "04010020");
    EXPECT_EQ(StopOf(client.Exchange("c")), "T0bthread:1;");
    EXPECT_EQ(client.Exchange("pf"), "04010020");
}

TEST_F(ProtocolFaults, ResumesWithASignalRunAsWithout) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const CodeAddress sumTable = FirmwareFunction("sum_table");
    EXPECT_EQ(client.Exchange("Z1," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("C0b")), "T05thread:1;") << "continue, the signal not delivered";
    EXPECT_EQ(client.Exchange("pf"), sumTable.pcValue);
    EXPECT_EQ(client.Exchange("z1," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("S0b")), "T05thread:1;");
    EXPECT_NE(client.Exchange("pf"), sumTable.pcValue) << "one instruction on";
    EXPECT_EQ(StopOf(client.Exchange("S02;" + sumTable.hex)), "T05thread:1;") << "with an address";
    EXPECT_NE(client.Exchange("pf"), sumTable.pcValue);
}

// An interrupt in the same segment as the resume packet stops that run; one
// that comes while the core is halted stops the next resume at once.
TEST_F(ProtocolFaults, NoInterruptIsLost) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    for (int i = 0; i < 20; ++i) {
        client.SendRaw(Framed("c") + "\x03");
        ASSERT_EQ(StopOf(client.ReadPacket()), "T02thread:1;") << "try " << i;
    }
    for (const char* resume : {"vCont;s:1", "c", "s", "vCont;c"}) {
        const std::string pc = client.Exchange("pf");
        client.SendRaw("\x03");
        EXPECT_TRUE(client.Quiet(100)) << "no reply while halted";
        EXPECT_EQ(StopOf(client.Exchange(resume)), "T02thread:1;") << resume;
        EXPECT_EQ(client.Exchange("pf"), pc) << "the core did not move";
        client.SendRaw("\x03\x03");
        EXPECT_EQ(StopOf(client.Exchange(resume)), "T02thread:1;") << "two interrupts are one";
        EXPECT_EQ(StopOf(client.Exchange("vCont;s:1")), "T05thread:1;") << "and only one";
    }
}

// A flood of input during a run neither fills the server's memory nor
// holds up the interrupt behind it.
TEST(ProtocolInput, AFloodDuringARunIsBoundedAndTheInterruptStillStops) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF})) << server.Output();
    auto residentKiB = [&] {
        std::ifstream status("/proc/" + std::to_string(server.Pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return -1L;
    };
    RawClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    client.StartNoAckMode();
    EXPECT_EQ(client.Exchange("qC"), "QC1");
    const long before = residentKiB();
    client.Send("c");
    const std::string acks(4 << 20, '+');
    const std::string packets = [] {
        std::string many;
        for (int i = 0; i < 20000; ++i) many += Framed("m0,4");
        return many;
    }();
    client.SendRaw(acks + packets + "\x03");
    EXPECT_EQ(StopOf(client.ReadPacket()), "T02thread:1;");
    const long after = residentKiB();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed memory in quarantine: the resident size
    // says nothing about the queue there.
    (void)after;
#else
    EXPECT_LT(after - before, 16 * 1024) << "KiB resident before " << before << ", after " << after;
#endif
    // The packets beyond the queue's bound were dropped, not answered late.
    client.Send("qC");
    int answered = 0;
    for (std::string reply; (reply = client.ReadPacket()) != "QC1" && answered <= 20000; ++answered)
        ASSERT_EQ(reply.size(), 8u) << reply;
    EXPECT_LE(answered, 64);
    EXPECT_EQ(server.Terminate(), 0) << server.Output();
    EXPECT_NE(server.Output().find("packets received during a run were dropped"), std::string::npos) << server.Output();
}

// A client that stops reading is dropped after the send timeout, the next
// one is served, and a SIGTERM ends the server at once meanwhile.
TEST(ProtocolOutput, AClientThatStopsReadingIsDroppedAndNeverBlocksAShutdown) {
    for (const bool terminateWhileBlocked : {true, false}) {
        ServerProcess server;
        ASSERT_TRUE(server.Start({"--elf", DIORX_FIRMWARE_ELF})) << server.Output();
        RawClient stuck(server.Port());
        ASSERT_TRUE(stuck.Connected());
        stuck.StartNoAckMode();
        std::string requests;
        for (int i = 0; i < 2000; ++i) requests += Framed("m20000000,1ff8");  // 16 KiB replies, never read
        stuck.SendRaw(requests);
        std::this_thread::sleep_for(500ms);
        if (terminateWhileBlocked) {
            EXPECT_EQ(server.Terminate(3000), 0) << "SIGTERM while a send waits\n" << server.Output();
            continue;
        }
        RawClient next(server.Port());
        ASSERT_TRUE(next.Connected());
        next.Send("qC");  // waits in the listen backlog until the first is dropped
        EXPECT_EQ(next.ReadPacket(), "QC1");
        EXPECT_EQ(server.Terminate(3000), 0) << server.Output();
        EXPECT_NE(server.Output().find("the client took no data for 5000 ms: dropped"), std::string::npos)
            << server.Output();
    }
}

TEST_F(ProtocolFaults, ExtendedModeRestartsAndKeepsTheClientAfterADetach) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    EXPECT_EQ(client.Exchange("!"), "OK");
    const CodeAddress sumTable = FirmwareFunction("sum_table");
    EXPECT_EQ(client.Exchange("Z1," + sumTable.hex + ",2"), "OK");
    EXPECT_EQ(StopOf(client.Exchange("c")), "T05thread:1;");
    // R restarts with no reply: the next reply is the next packet's.
    client.Send("R00");
    EXPECT_EQ(client.Exchange("pf"), "42000000") << "at the reset vector";
    EXPECT_EQ(client.Exchange("Z1," + sumTable.hex + ",2"), "OK") << "the new program has none of gdb's breakpoints";
    EXPECT_EQ(StopOf(client.Exchange("c")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("pf"), sumTable.pcValue);
    // vRun restarts and answers with a stop.
    EXPECT_EQ(StopOf(client.Exchange("vRun;" + Hex("/any/file"))), "T05thread:1;");
    EXPECT_EQ(client.Exchange("pf"), "42000000");
    // A detach lets the core run on and keeps the connection; vAttach takes
    // the core again.
    EXPECT_EQ(client.Exchange("D;1"), "OK");
    EXPECT_EQ(client.Exchange("qC"), "QC1") << "still connected";
    EXPECT_EQ(client.Exchange("c"), "E01") << "nothing to run until attached";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(StopOf(client.Exchange("vAttach;1")), "T05thread:1;");
    EXPECT_NE(client.Exchange("pf"), "42000000") << "the core ran on meanwhile";
    EXPECT_NE(Unhex(client.Exchange("qRcmd," + Hex("status"))).find("status: halted (cause 128)"), std::string::npos);
}

TEST_F(ProtocolFaults, FlashEraseLeavesTheErasedBytesReadingFFAndARunReloadsTheImage) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    const std::string image = client.Exchange("m0,20");
    const std::string beyond = client.Exchange("m800,10");
    ASSERT_NE(beyond, std::string(32, 'f'));
    EXPECT_EQ(client.Exchange("vFlashErase:0,800"), "OK");
    EXPECT_EQ(client.Exchange("vFlashWrite:0:0123456789abcdef"), "OK");
    EXPECT_EQ(client.Exchange("vFlashWrite:400:ABCD"), "OK");
    EXPECT_EQ(client.Exchange("vFlashDone"), "OK");
    EXPECT_EQ(client.Exchange("m0,12"), Hex("0123456789abcdef") + "ffff");
    EXPECT_EQ(client.Exchange("m3f0,20"), std::string(32, 'f') + Hex("ABCD") + std::string(24, 'f'));
    EXPECT_EQ(client.Exchange("m7f0,10"), std::string(32, 'f')) << "the end of the erased range";
    EXPECT_EQ(client.Exchange("m800,10"), beyond) << "past it, nothing changed";
    // The vector table was written: the stack pointer comes from word 0, the
    // pc from word 1.
    EXPECT_EQ(client.Exchange("pd"), Hex("0123"));
    EXPECT_EQ(client.Exchange("pf"), Hex("4567"));
    // A run downloads the server's image again.
    EXPECT_EQ(StopOf(client.Exchange("vRun;")), "T05thread:1;");
    EXPECT_EQ(client.Exchange("m0,20"), image);
    EXPECT_EQ(client.Exchange("m800,10"), beyond);
}

TEST_F(ProtocolFaults, MonitorCommandsAsOpenOcdNamesThem) {
    RawClient client(Port());
    ASSERT_NO_FATAL_FAILURE(Prepare(client));
    auto monitor = [&](const std::string& command) { return Unhex(client.Exchange("qRcmd," + Hex(command))); };
    for (const char* reset : {"reset halt", "reset init", "reset", " reset   halt\n"}) {
        EXPECT_NE(monitor(reset).find("reset: the core is halted at its reset vector, pc 0x00000042"), std::string::npos)
            << reset;
    }
    EXPECT_NE(monitor("reset run").find("the core runs"), std::string::npos);
    EXPECT_NE(monitor("status").find("status: running (cause 0)"), std::string::npos);
    EXPECT_NE(monitor("halt").find("halted"), std::string::npos);
    EXPECT_NE(monitor("status").find("status: halted (cause 128)"), std::string::npos);
    EXPECT_NE(monitor("resume").find("the core runs"), std::string::npos);
    EXPECT_NE(monitor("halt").find("halted"), std::string::npos);
    // An unknown command: its text as console output, then an error.
    client.Send("qRcmd," + Hex("frobnicate"));
    EXPECT_EQ(client.ReadPacket(), "O" + Hex("unknown monitor command 'frobnicate' (try 'monitor help')\n"));
    EXPECT_EQ(client.ReadPacket(), "E01");
}

#if defined(DIORX_FREERTOS_ELF) && defined(QEMU_SYSTEM_ARM)
// The FreeRTOS application on QEMU's mps2-an385 behind the server, its
// tasks as threads: the client below answers the server's symbol requests
// from the ELF's symbol table as gdb does.
class RtosProtocol : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = {"--target", "qemu:mps2-an385", "--elf", DIORX_FREERTOS_ELF};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        client_.reset();
        if (server_) {
            EXPECT_EQ(server_->Terminate(), 0) << server_->Output();
        }
        server_ = std::make_unique<ServerProcess>();
        ASSERT_TRUE(server_->Start(arguments)) << server_->Output();
        client_ = std::make_unique<RawClient>(server_->Port());
        ASSERT_TRUE(client_->Connected());
        client_->StartNoAckMode();
        std::string error;
        ASSERT_TRUE(orxdbg::ReadElf(DIORX_FREERTOS_ELF, image_, error)) << error;
    }
    // qSymbol:: and the answers to the server's requests; the names it
    // asked for, in order.
    std::vector<std::string> Negotiate(const std::vector<std::string>& unknown = {}) {
        std::vector<std::string> asked;
        std::string reply = client_->Exchange("qSymbol::");
        while (reply.rfind("qSymbol:", 0) == 0 && asked.size() < 20) {
            const std::string name = Unhex(reply.substr(8));
            asked.push_back(name);
            const orxdbg::Symbol* symbol = image_.symbols.Find(name);
            char value[16] = "";
            if (symbol && std::find(unknown.begin(), unknown.end(), name) == unknown.end())
                std::snprintf(value, sizeof value, "%llx", static_cast<unsigned long long>(symbol->address));
            reply = client_->Exchange("qSymbol:" + std::string(value) + ":" + Hex(name));
        }
        EXPECT_EQ(reply, "OK");
        return asked;
    }
    // Lets the application run a while, then interrupts it: the scheduler
    // runs by then. The stop reply.
    std::string RunAWhile(const std::string& resume = "vCont;c") {
        client_->Send(resume);
        EXPECT_TRUE(client_->Quiet(500)) << "no stop before the interrupt";
        client_->SendRaw("\x03");
        return client_->ReadPacket();
    }
    uint32_t Word(uint32_t address) {
        char packet[32];
        std::snprintf(packet, sizeof packet, "m%x,4", address);
        const std::string bytes = Unhex(client_->Exchange(packet));
        if (bytes.size() != 4) return 0;
        return uint8_t(bytes[0]) | uint8_t(bytes[1]) << 8 | uint8_t(bytes[2]) << 16 | uint32_t(uint8_t(bytes[3])) << 24;
    }
    uint32_t SymbolAddress(const std::string& name) {
        const orxdbg::Symbol* symbol = image_.symbols.Find(name);
        return symbol ? static_cast<uint32_t>(symbol->address) : 0;
    }
    void TearDown() override {
        client_.reset();
        if (server_) {
            EXPECT_EQ(server_->Terminate(), 0) << server_->Output();
        }
    }
    static std::string Id(uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", value);
        return text;
    }

    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<RawClient> client_;
    orxdbg::Image image_;
};

TEST_F(RtosProtocol, SymbolsAskedOfGdbDecideWhetherTasksAreThreads) {
    const std::vector<std::string> all = {"pxCurrentTCB",       "pxReadyTasksLists",        "xDelayedTaskList1",
                                          "xDelayedTaskList2",  "xPendingReadyList",        "xSuspendedTaskList",
                                          "xTasksWaitingTermination", "uxTopUsedPriority", "xSchedulerRunning"};
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::vector<std::string> unknown;  // symbols the client says it does not have
        std::vector<std::string> asked;
        bool tasks;
    } cases[] = {
        {"--rtos auto", {}, {}, all, true},
        {"--rtos none", {"--rtos", "none"}, {}, {}, false},
        {"a program without the kernel", {}, {"pxCurrentTCB"}, {"pxCurrentTCB"}, false},
        {"a kernel without a list the view needs", {}, {"xDelayedTaskList1"}, all, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Start(c.options));
        EXPECT_EQ(client_->Exchange("qfThreadInfo"), "m1") << "the scheduler has not started";
        EXPECT_EQ(Negotiate(c.unknown), c.asked);
        EXPECT_EQ(client_->Exchange("qfThreadInfo"), "m1") << "still not";
        // Thread 1 says why it is the only one; without the kernel's
        // symbols the reply is gdb's "not supported", as before.
        EXPECT_EQ(Unhex(client_->Exchange("qThreadExtraInfo,1")), c.tasks ? "Scheduler not running" : "");
        const std::string stop = RunAWhile();
        const uint32_t current = Word(SymbolAddress("pxCurrentTCB"));
        ASSERT_NE(current, 0u) << "the scheduler runs";
        const std::string thread = c.tasks ? Id(current) : "1";
        EXPECT_EQ(StopOf(stop), "T02thread:" + thread + ";");
        EXPECT_EQ(client_->Exchange("qC"), "QC" + thread);
        const std::string list = client_->Exchange("qfThreadInfo");
        if (c.tasks) {
            EXPECT_NE(("," + list.substr(1) + ",").find("," + thread + ","), std::string::npos) << list;
            // A gdb that connected while the scheduler ran keeps thread 1
            // until the next stop: the core, in the running task.
            EXPECT_EQ(Unhex(client_->Exchange("qThreadExtraInfo,1")).rfind("Core, in the running task ", 0), 0u);
        } else {
            EXPECT_EQ(list, "m1");
        }
    }
}

TEST_F(RtosProtocol, ATaskThatDoesNotRunShowsTheRegistersOnItsStack) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Negotiate();
    const std::string stop = RunAWhile();
    const uint32_t current = Word(SymbolAddress("pxCurrentTCB"));
    ASSERT_EQ(StopOf(stop), "T02thread:" + Id(current) + ";");
    const std::string coreRegisters = client_->Exchange("g");

    // Every task by its TCB: alive, with a name, a state and a priority;
    // the running one is pxCurrentTCB.
    const std::string list = client_->Exchange("qfThreadInfo");
    ASSERT_EQ(list.substr(0, 1), "m");
    EXPECT_EQ(client_->Exchange("qsThreadInfo"), "l");
    std::vector<uint32_t> blocked;
    int running = 0;
    const std::regex info("Name: ([^,]+), State: (Running|Ready|Blocked|Suspended|Deleted), Priority: (\\d+)");
    std::stringstream ids(list.substr(1));
    for (std::string id; std::getline(ids, id, ',');) {
        SCOPED_TRACE("thread " + id);
        EXPECT_EQ(client_->Exchange("T" + id), "OK");
        const std::string extra = Unhex(client_->Exchange("qThreadExtraInfo," + id));
        std::smatch match;
        ASSERT_TRUE(std::regex_match(extra, match, info)) << extra;
        const uint32_t tcb = static_cast<uint32_t>(std::stoul(id, nullptr, 16));
        EXPECT_EQ(match[2] == "Running", tcb == current) << extra;
        running += match[2] == "Running";
        if (match[2] == "Blocked") blocked.push_back(tcb);
    }
    EXPECT_EQ(running, 1);
    ASSERT_FALSE(blocked.empty()) << list;
    EXPECT_EQ(client_->Exchange("T2"), "E01") << "not a task";
    EXPECT_EQ(client_->Exchange("Hg2"), "E01");

    // A blocked task's registers: its pc in a function of the application,
    // its stack pointer past the frame its switch left at pxTopOfStack.
    const uint32_t task = blocked.front();
    ASSERT_EQ(client_->Exchange("Hg" + Id(task)), "OK");
    const std::string taskRegisters = client_->Exchange("g");
    ASSERT_TRUE(std::regex_match(taskRegisters, std::regex("[0-9a-f]{136}"))) << taskRegisters;
    EXPECT_NE(taskRegisters, coreRegisters);
    const auto registerValue = [&](const std::string& reply) {
        const std::string bytes = Unhex(reply);
        return uint8_t(bytes[0]) | uint8_t(bytes[1]) << 8 | uint8_t(bytes[2]) << 16 | uint32_t(uint8_t(bytes[3])) << 24;
    };
    const uint32_t pc = registerValue(client_->Exchange("pf"));
    const uint32_t sp = registerValue(client_->Exchange("pd"));
    const uint32_t top = Word(task);
    EXPECT_NE(image_.symbols.Describe(pc & ~1u), "") << std::hex << pc;
    EXPECT_TRUE(sp == top + 64 || sp == top + 68) << std::hex << sp << " " << top;
    EXPECT_EQ(registerValue(client_->Exchange("p0")), Word(top + 32)) << "r0 above r4..r11";
    EXPECT_EQ(pc, Word(top + 56));
    // Writes are refused and leave its stack as it was.
    EXPECT_EQ(client_->Exchange("P0=78563412"), "E0d");
    EXPECT_EQ(client_->Exchange("G" + taskRegisters), "E0d");
    EXPECT_EQ(registerValue(client_->Exchange("p0")), Word(top + 32));

    // The running task is the core; so is the thread after a stop, whatever Hg said.
    ASSERT_EQ(client_->Exchange("Hg" + Id(current)), "OK");
    EXPECT_EQ(client_->Exchange("g"), coreRegisters);
    // A resume that names a task runs the whole core (all-stop).
    ASSERT_EQ(client_->Exchange("Hg" + Id(task)), "OK");
    ASSERT_EQ(client_->Exchange("Hc" + Id(task)), "OK");
    const std::string next = RunAWhile("vCont;c:" + Id(task));
    const uint32_t nowCurrent = Word(SymbolAddress("pxCurrentTCB"));
    EXPECT_EQ(StopOf(next), "T02thread:" + Id(nowCurrent) + ";");
    const std::string afterStop = client_->Exchange("g");
    ASSERT_EQ(client_->Exchange("Hg0"), "OK");
    EXPECT_EQ(client_->Exchange("g"), afterStop) << "the stop made the running task the selected thread";
}
#endif

}  // namespace
