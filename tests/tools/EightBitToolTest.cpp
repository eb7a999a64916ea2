// What orxdbg adds for the 8-bit boards: symbols from sdcc's linker map in
// the board's memory spaces, SPACE:ADDR arguments, and the 8051 decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/Boards.h"
#include "tools/orxdbg/Commands.h"
#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Mcs51Disassembler.h"
#include "tools/orxdbg/Session.h"

using namespace orxdbg;

namespace {

// The board for one test; the default board again afterwards.
class OnBoard {
public:
    explicit OnBoard(const char* name) { SetCurrentBoard(*sim::FindBoard(name)); }
    ~OnBoard() { SetCurrentBoard(sim::DefaultBoard()); }
};

// An excerpt of an 8051 map as sdld writes it: each area's header, then
// its symbols (C: code, D: external RAM, none: internal RAM).
const char* const kMcs51Map = R"(
Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
DSEG                                00000008    00000006 =           6. bytes (REL,CON)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
     00000008  G$counter$0_0$0                    main
     00000008  _counter                           main
     0000000C  _done_count                        main
BSEG                                00000020    00000001 =           1. bytes (REL,CON,BIT)
     00000000  _flag                              main
XSEG                                00000001    00000014 =          20. bytes (REL,CON,XDATA)
D:   00000001  _xdata_table                       main
D:   00000011  _rounds                            main
CSEG                                00000062    00000070 =         112. bytes (REL,CON,CODE)
C:   00000062  _square_plus                       main
C:   00000062  A$main$100                         main
C:   00000080  _fill_tables                       main
C:   000000C5  _main                              main
C:   000000D0  __mulint                           
C:   000000D0  s_GSINIT                          
)";

TEST(SdccMap, SymbolsLandInTheirMemorySpacesWithSizes) {
    OnBoard board("8051");  // CODE 0, IDATA 1, SFR 2, XDATA 3
    SymbolTable symbols;
    std::string error;
    ASSERT_TRUE(ParseSdccMap(kMcs51Map, symbols, error)) << error;
    struct Expected {
        const char* name;
        uint64_t address, size;
        uint32_t space;
    };
    const Expected expected[] = {
        {"counter", 0x08, 4, 1},      {"done_count", 0x0c, 2, 1}, {"xdata_table", 0x01, 0x10, 3},
        {"rounds", 0x11, 4, 3},       {"square_plus", 0x62, 0x1e, 0}, {"fill_tables", 0x80, 0x45, 0},
        {"main", 0xc5, 0x0b, 0},  // ends where the library's helper starts
    };
    for (const Expected& e : expected) {
        const Symbol* s = symbols.Find(e.name);
        ASSERT_NE(s, nullptr) << e.name;
        EXPECT_EQ(s->address, e.address) << e.name;
        EXPECT_EQ(s->size, e.size) << e.name;
        EXPECT_EQ(s->space, e.space) << e.name;
    }
    for (const char* left : {"flag", "mulint", "_mulint", "G$counter$0_0$0", "s_GSINIT", "GSINIT", "A$main$100"})
        EXPECT_EQ(symbols.Find(left), nullptr) << left;
    // The same address names different things in different spaces.
    EXPECT_EQ(symbols.Describe(0x08, 1), "counter");
    EXPECT_EQ(symbols.Describe(0x0a, 1), "counter+0x2");
    EXPECT_EQ(symbols.Describe(0x08, 0), "");
    EXPECT_EQ(symbols.Describe(0x12, 3), "rounds+0x1");
}

TEST(SdccMap, OnTheZ80EverySymbolIsInMemory) {
    OnBoard board("z80");
    SymbolTable symbols;
    std::string error;
    ASSERT_TRUE(ParseSdccMap("_CODE   00000100    00000050 =  80. bytes (REL,CON)\n"
                             "     00000100  _square_plus   main\n"
                             "_DATA   00008000    00000008 =   8. bytes (REL,CON)\n"
                             "     00008000  _table         main\n",
                             symbols, error))
        << error;
    ASSERT_NE(symbols.Find("table"), nullptr);
    EXPECT_EQ(symbols.Find("table")->space, 0u);
    EXPECT_EQ(symbols.Find("table")->size, 8u);
    EXPECT_EQ(symbols.Find("square_plus")->size, 0x50u);
}

TEST(SdccMap, TextWithoutAreasIsNoMap) {
    SymbolTable symbols;
    std::string error;
    EXPECT_FALSE(ParseSdccMap("     00000100  _main   main\n", symbols, error));
    EXPECT_NE(error.find("no area"), std::string::npos) << error;
}

TEST(Parser, AnAddressMayNameItsMemorySpace) {
    OnBoard board("8051");
    SymbolTable symbols;
    std::string error;
    ASSERT_TRUE(ParseSdccMap(kMcs51Map, symbols, error)) << error;
    struct Case {
        const char* line;
        uint32_t address, space;
    };
    const Case cases[] = {
        {"x/4xb XDATA:0x100", 0x100, 3}, {"x/4xb xdata:0x100", 0x100, 3}, {"x/4xb sfr:0xf0", 0xf0, 2},
        {"x/4xb 0x100", 0x100, 0},      {"x/4xb rounds", 0x11, 3},        {"x/4xb counter+2", 0x0a, 1},
        {"x/4xb CODE:rounds", 0x11, 0},  // a space written wins over the symbol's
    };
    for (const Case& c : cases) {
        const ParsedLine parsed = ParseLine(c.line, Commands(), symbols);
        ASSERT_TRUE(parsed.error.empty()) << c.line << ": " << parsed.error;
        EXPECT_EQ(parsed.args.Where(1).address, c.address) << c.line;
        EXPECT_EQ(parsed.args.Where(1).space, c.space) << c.line;
    }
    const ParsedLine unknown = ParseLine("x/4xb IO:0x10", Commands(), symbols);
    EXPECT_NE(unknown.error.find("no memory space 'IO' on this board (CODE, IDATA, SFR, XDATA)"), std::string::npos)
        << unknown.error;
}

struct Instruction {
    std::vector<uint8_t> bytes;
    uint32_t address;
    const char* text;
};

// One of each operand form, and the forms whose bytes come in an unusual
// order or whose target is computed.
TEST(Mcs51Decoder, EachOperandForm) {
    const Instruction cases[] = {
        {{0x00}, 0, "nop"},
        {{0x02, 0x12, 0x34}, 0, "ljmp\t0x1234"},
        {{0x12, 0x00, 0x62}, 0, "lcall\t0x0062"},
        {{0x31, 0x23}, 0x0800, "acall\t0x0923"},  // page 1 of the 2 KiB block after the instruction
        {{0x80, 0xfe}, 0x0100, "sjmp\t0x0100"},   // to itself
        {{0x20, 0x07, 0x03}, 0x0010, "jb\t0x07, 0x0016"},
        {{0x74, 0x5a}, 0, "mov\ta, #0x5a"},
        {{0x75, 0xe0, 0x01}, 0, "mov\t0xe0, #0x01"},
        {{0x85, 0x82, 0x90}, 0, "mov\t0x90, 0x82"},  // source byte first
        {{0x90, 0x01, 0x32}, 0, "mov\tdptr, #0x0132"},
        {{0x7f, 0x00}, 0, "mov\tr7, #0x00"},
        {{0xa6, 0x04}, 0, "mov\t@r0, 0x04"},
        {{0xe5, 0x0c}, 0, "mov\ta, 0x0c"},
        {{0xb5, 0x0c, 0xfd}, 0x0020, "cjne\ta, 0x0c, 0x0020"},
        {{0xbf, 0x08, 0x00}, 0x00b1, "cjne\tr7, #0x08, 0x00b4"},
        {{0xd5, 0x30, 0xfd}, 0x0040, "djnz\t0x30, 0x0040"},
        {{0xd8, 0xfe}, 0x0038, "djnz\tr0, 0x0038"},
        {{0xd7}, 0, "xchd\ta, @r1"},
        {{0xf0}, 0, "movx\t@dptr, a"},
        {{0x05, 0x08}, 0, "inc\t0x08"},
        {{0xc2, 0x8c}, 0, "clr\t0x8c"},
        {{0xa5}, 0, "(reserved 0xa5)"},
    };
    for (const Instruction& c : cases) {
        const Mcs51Instruction insn = DecodeMcs51(c.bytes.data(), c.bytes.size(), c.address);
        EXPECT_EQ(insn.text, c.text);
        EXPECT_EQ(insn.size, c.bytes.size()) << c.text;
        EXPECT_EQ(Mcs51InstructionSize(c.bytes[0]), c.bytes.size()) << c.text;
    }
    const uint8_t cut[] = {0x02, 0x12};
    EXPECT_EQ(DecodeMcs51(cut, 2, 0).size, 0u) << "an instruction the bytes do not hold";
}

}  // namespace
