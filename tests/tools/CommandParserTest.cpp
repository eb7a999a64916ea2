// The debugger's command line: one parser, driven by the command table,
// turns text into a command with converted arguments or into a one-line
// error; help is generated from the same table.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/orxdbg/Commands.h"

using namespace orxdbg;

namespace {

SymbolTable FirmwareLikeSymbols() {
    SymbolTable symbols;
    symbols.Add({"compute_table", 0xA4, 0x20});
    symbols.Add({"table", 0x20000000, 64});
    return symbols;
}

struct BadLine {
    const char* line;
    const char* expected;  // a piece of the error
};

class BadLines : public ::testing::TestWithParam<BadLine> {};

TEST_P(BadLines, GiveOneLineErrorAndNoCommand) {
    const BadLine& c = GetParam();
    const ParsedLine parsed = ParseLine(c.line, Commands(), FirmwareLikeSymbols());
    EXPECT_EQ(parsed.command, nullptr);
    EXPECT_NE(parsed.error.find(c.expected), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << "one line: " << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(
    Parser, BadLines,
    ::testing::Values(BadLine{"frobnicate", "unknown command 'frobnicate'"},
                      BadLine{"write", "'write' needs 'mem' or 'reg'"},
                      BadLine{"write flash 0x10 1", "'write' needs 'mem' or 'reg'"},
                      BadLine{"break", "missing ADDR|SYMBOL"},
                      BadLine{"write reg R0", "missing VALUE"},
                      BadLine{"write mem table", "missing BYTE..."},
                      BadLine{"step 12x", "bad number '12x'"},
                      BadLine{"step 0x", "bad number '0x'"},
                      BadLine{"step 0", "from 1 to 65536"},
                      BadLine{"mem table 65537", "from 1 to 65536"},
                      BadLine{"write reg PC 0x100000000", "bad number '0x100000000'"},
                      BadLine{"write reg PC 4294967296", "bad number '4294967296'"},
                      BadLine{"break 0xZZ", "bad address '0xZZ'"},
                      BadLine{"break 0x1ffffffffffffffff", "bad address"},
                      BadLine{"break no_such_function", "unknown symbol 'no_such_function'"},
                      BadLine{"mem table+zz", "bad offset in 'table+zz'"},
                      BadLine{"mem table-zz", "bad offset in 'table-zz'"},
                      BadLine{"x table-0x20000001", "'table-0x20000001' lies below address 0"},
                      BadLine{"load /", "'/' is a directory, not a file"},
                      BadLine{"write mem table 1 256", "256 does not fit in a byte"},
                      BadLine{"write mem table 1 -1", "bad number '-1'"},
                      BadLine{"write reg R13x 1", "unknown register 'R13x'"},
                      BadLine{"step 1 2", "unexpected '2'"},
                      BadLine{"status now", "unexpected 'now'"},
                      BadLine{"open \"C:\\Tools\\qdvarm.exe", "unterminated quote"},
                      BadLine{"load /no/such/dir/firmware.elf", "no such file '/no/such/dir/firmware.elf'"},
                      // Addresses are 32-bit: a larger one is refused, not carried along.
                      BadLine{"mem 0x100000000 4", "address 0x100000000 does not fit in 32 bits"},
                      BadLine{"break 4294967296", "address 4294967296 does not fit in 32 bits"},
                      BadLine{"x/4xw table+0xE0000000", "'table+0xE0000000' lies beyond 32 bits"},
                      // Examining memory: gdb's /NFU.
                      BadLine{"x/0xw table", "the count in '/0xw' must be from 1 to 65536"},
                      BadLine{"x/4q table", "bad letter 'q' in '/4q'"},
                      BadLine{"x/ table", "'/' needs a count"},
                      BadLine{"x/4xw", "missing ADDR|SYMBOL"},
                      // Abbreviations that more than one command shares.
                      BadLine{"st", "ambiguous command 'st': step, stop, status"},
                      BadLine{"info", "'info' needs 'break' or 'registers'"},
                      BadLine{"delete main", "bad number 'main' for N"}));

TEST(Parser, UnknownSymbolSaysWhenNoElfIsLoaded) {
    const ParsedLine parsed = ParseLine("break main", Commands(), SymbolTable{});
    EXPECT_NE(parsed.error.find("no symbols loaded"), std::string::npos) << parsed.error;
}

TEST(Parser, ArgumentsArriveConvertedByKind) {
    const SymbolTable symbols = FirmwareLikeSymbols();
    auto parse = [&](const char* line) {
        ParsedLine parsed = ParseLine(line, Commands(), symbols);
        EXPECT_TRUE(parsed.error.empty()) << line << ": " << parsed.error;
        EXPECT_NE(parsed.command, nullptr) << line;
        return parsed;
    };

    ParsedLine p = parse("break compute_table");
    EXPECT_EQ(p.command->name, "break");
    EXPECT_EQ(p.args.Where(0).address, 0xA4u);
    EXPECT_EQ(p.args.Where(0).symbol, "compute_table");

    p = parse("mem table+0x8 16");
    EXPECT_EQ(p.args.Where(0).address, 0x20000008u);
    EXPECT_EQ(p.args.Number(1), 16u);

    p = parse("x table-4");
    EXPECT_EQ(p.args.Where(1).address, 0x1FFFFFFCu);
    EXPECT_EQ(p.args.Where(1).symbol, "table-4");

    p = parse("BREAK 196");
    EXPECT_EQ(p.command->name, "break");
    EXPECT_EQ(p.args.Where(0).address, 196u);
    EXPECT_TRUE(p.args.Where(0).symbol.empty());

    p = parse("write mem 0x20000000 0x41 66 0");
    EXPECT_EQ(p.command->name, "write mem");
    EXPECT_EQ(p.args.Bytes(1), (std::vector<uint8_t>{0x41, 66, 0}));

    p = parse("write reg sp 0xFFFFFFFF");
    EXPECT_EQ(p.command->name, "write reg");
    EXPECT_EQ(p.args.Register(0), 13);
    EXPECT_EQ(p.args.Number(1), 0xFFFFFFFFu);

    p = parse("step");
    EXPECT_FALSE(p.args.Has(0));

    p = parse("open \"C:\\Program Files\\qdvarm.exe\" CPU1  # the second board");
    EXPECT_EQ(p.args.Text(0), "C:\\Program Files\\qdvarm.exe");
    EXPECT_EQ(p.args.Text(1), "CPU1");
}

struct Abbreviation {
    const char* line;
    const char* command;
};

class Abbreviations : public ::testing::TestWithParam<Abbreviation> {};

// gdb's short forms, and any beginning of a name that no other command shares.
TEST_P(Abbreviations, NameTheirCommand) {
    const ParsedLine parsed = ParseLine(GetParam().line, Commands(), FirmwareLikeSymbols());
    ASSERT_NE(parsed.command, nullptr) << GetParam().line << ": " << parsed.error;
    EXPECT_EQ(parsed.command->name, GetParam().command) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Parser, Abbreviations,
    ::testing::Values(Abbreviation{"c", "continue"}, Abbreviation{"cont", "continue"}, Abbreviation{"s", "step"},
                      Abbreviation{"si 4", "step"}, Abbreviation{"stepi", "step"}, Abbreviation{"b compute_table", "break"},
                      Abbreviation{"x/4xw table", "x"}, Abbreviation{"q", "quit"}, Abbreviation{"exit", "quit"},
                      Abbreviation{"i r", "info registers"}, Abbreviation{"i r pc", "info registers"},
                      Abbreviation{"info reg", "info registers"}, Abbreviation{"regs", "info registers"},
                      Abbreviation{"i b", "info break"}, Abbreviation{"d 2", "delete"},
                      Abbreviation{"disas compute_table 4", "disassemble"}, Abbreviation{"sto", "stop"},
                      Abbreviation{"w m table 1", "write mem"}));

TEST(Parser, ExamineFormatGivesCountFormatAndUnit) {
    struct Case {
        const char* line;
        uint32_t count;
        char format;
        uint32_t unit;
    };
    for (const Case& c : {Case{"x table", 1, 'x', 4}, Case{"x/16xw table", 16, 'x', 4}, Case{"x/8b table", 8, 'x', 1},
                          Case{"x/dh table", 1, 'd', 2}, Case{"x/3ub table", 3, 'u', 1}}) {
        const ParsedLine parsed = ParseLine(c.line, Commands(), FirmwareLikeSymbols());
        ASSERT_NE(parsed.command, nullptr) << c.line << ": " << parsed.error;
        const ExamineFormat f = parsed.args.Format(0);
        EXPECT_EQ(f.count, c.count) << c.line;
        EXPECT_EQ(f.format, c.format) << c.line;
        EXPECT_EQ(f.unit, c.unit) << c.line;
        EXPECT_EQ(parsed.args.Where(1).address, 0x20000000u) << c.line;
    }
}

TEST(Parser, R13ToR15AreSpLrAndPc) {
    for (const auto& [name, id] : {std::pair{"r13", 13}, std::pair{"R14", 14}, std::pair{"r15", 15}, std::pair{"sp", 13}}) {
        const ParsedLine parsed = ParseLine(std::string("write reg ") + name + " 1", Commands(), SymbolTable{});
        ASSERT_NE(parsed.command, nullptr) << name << ": " << parsed.error;
        EXPECT_EQ(parsed.args.Register(0), id) << name;
    }
}

TEST(Parser, TheHighestAddressIsAccepted) {
    const ParsedLine parsed = ParseLine("mem 0xFFFFFFFF 1", Commands(), SymbolTable{});
    ASSERT_NE(parsed.command, nullptr) << parsed.error;
    EXPECT_EQ(parsed.args.Where(0).address, 0xFFFFFFFFu);
}

struct CompletionCase {
    const char* line;
    std::vector<std::string> expected;
};

class Completions : public ::testing::TestWithParam<CompletionCase> {};

// Tab offers what may stand at the cursor: commands, then by the argument
// symbols or registers.
TEST_P(Completions, OfferWhatFitsTheWordAtTheCursor) {
    const CompletionCase& c = GetParam();
    const Completion completion = Complete(c.line, Commands(), FirmwareLikeSymbols());
    EXPECT_EQ(completion.candidates, c.expected) << c.line;
    const std::string line = c.line;
    EXPECT_EQ(completion.start, line.find_last_of(' ') == std::string::npos ? 0 : line.find_last_of(' ') + 1) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Parser, Completions,
    ::testing::Values(CompletionCase{"co", {"continue"}}, CompletionCase{"st", {"status", "step", "stop"}},
                      CompletionCase{"b comp", {"compute_table"}}, CompletionCase{"x/4xw ta", {"table"}},
                      CompletionCase{"disas ", {"compute_table", "table"}},
                      CompletionCase{"i r r1", {"R1", "R10", "R11", "R12", "R13", "R14", "R15"}},
                      CompletionCase{"write reg x", {"XPSR"}}, CompletionCase{"write m", {"mem"}},
                      CompletionCase{"info ", {"break", "registers"}}, CompletionCase{"help fin", {"finish"}},
                      CompletionCase{"step ", {}}, CompletionCase{"frobnicate ", {}}));

TEST(Registers, XpsrFlagsAndExceptionAreDecoded) {
    EXPECT_EQ(sim::DecodeXpsr(0x61000000), "[ Z C T ] exception 0 (thread mode)");
    EXPECT_EQ(sim::DecodeXpsr(0xF9000003), "[ N Z C V Q T ] exception 3 (HardFault)");
    EXPECT_EQ(sim::DecodeXpsr(0x00000030), "[ ] exception 48 (IRQ 32)");
    EXPECT_EQ(sim::DecodeXpsr(0x0100000F), "[ T ] exception 15 (SysTick)");
}

TEST(Parser, BlankAndCommentLinesAreNeitherCommandNorError) {
    for (const char* line : {"", "   \t", "# break main", "   # indented"}) {
        const ParsedLine parsed = ParseLine(line, Commands(), SymbolTable{});
        EXPECT_EQ(parsed.command, nullptr) << line;
        EXPECT_TRUE(parsed.error.empty()) << line;
    }
}

// A table of two made-up commands: the parser and help know exactly these.
TEST(CommandTable, DrivesParsingAndHelp) {
    const std::vector<Command> table = {
        {"peek", {{ArgKind::Location, "ADDR"}, {ArgKind::Count, "N", true}}, "look at memory", {}},
        {"set mode", {{ArgKind::Text, "MODE"}}, "choose the mode", {}},
    };
    std::ostringstream help;
    ASSERT_TRUE(PrintHelp(help, table));
    EXPECT_NE(help.str().find("peek ADDR [N]"), std::string::npos) << help.str();
    EXPECT_NE(help.str().find("look at memory"), std::string::npos);
    EXPECT_NE(help.str().find("set mode MODE"), std::string::npos);
    EXPECT_EQ(help.str().find("continue"), std::string::npos) << "only the table's commands";

    std::ostringstream topic;
    ASSERT_TRUE(PrintHelp(topic, table, "set"));
    EXPECT_NE(topic.str().find("set mode MODE"), std::string::npos);
    EXPECT_EQ(topic.str().find("peek"), std::string::npos);
    std::ostringstream none;
    EXPECT_FALSE(PrintHelp(none, table, "continue"));

    const ParsedLine peek = ParseLine("peek 0x40 3", table, SymbolTable{});
    EXPECT_EQ(peek.command, &table[0]);
    EXPECT_EQ(peek.args.Number(1), 3u);
    EXPECT_EQ(ParseLine("set mode fast", table, SymbolTable{}).command, &table[1]);
    EXPECT_NE(ParseLine("continue", table, SymbolTable{}).error.find("unknown command"), std::string::npos);
}

TEST(CommandTable, HelpListsEveryCommandWithItsUsage) {
    std::ostringstream help;
    ASSERT_TRUE(PrintHelp(help, Commands()));
    for (const Command& command : Commands()) {
        EXPECT_NE(help.str().find("  " + Usage(command) + " "), std::string::npos) << Usage(command);
        EXPECT_TRUE(command.run) << command.name << " has no handler";
    }
    for (const std::string line : {"break ADDR|SYMBOL", "step [N]", "write mem ADDR|SYMBOL BYTE...", "x[/NFU] ADDR|SYMBOL",
                                   "dump FILE ADDR|SYMBOL LEN", "disassemble [ADDR|SYMBOL] [N]", "(also: c)"})
        EXPECT_NE(help.str().find(line), std::string::npos) << line;
}

// A bad line is reported and the next line still runs. Only commands that
// do not reach the module run here.
TEST(Interpreter, GoesOnAfterABadLine) {
    frontend::DiModule notLoaded;
    std::ostringstream out;
    Session session(notLoaded, out);
    Interpreter interpreter(session);
    std::istringstream script("frobnicate 1 2\nstep zero\nhelp step\n");
    EXPECT_EQ(interpreter.Run(script, false, false), 2);
    EXPECT_FALSE(interpreter.Interrupted());
    const std::string text = out.str();
    EXPECT_NE(text.find("error: unknown command 'frobnicate'"), std::string::npos) << text;
    EXPECT_NE(text.find("error: step: bad number 'zero'"), std::string::npos) << text;
    EXPECT_NE(text.find("execute N instructions"), std::string::npos) << "the line after the errors ran";
}

TEST(Interpreter, StopsAtTheFirstErrorWhenAsked) {
    frontend::DiModule notLoaded;
    std::ostringstream out, err;
    Session session(notLoaded, out, err);
    Interpreter interpreter(session);
    std::istringstream script("help step\nfrobnicate\nhelp finish\n");
    EXPECT_EQ(interpreter.Run(script, false, false, true), 1);
    EXPECT_NE(out.str().find("execute N instructions"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("current function returns"), std::string::npos) << "nothing runs after the error";
    EXPECT_EQ(err.str(), "error: unknown command 'frobnicate' (try 'help')\n");
    EXPECT_EQ(out.str().find("error"), std::string::npos) << "errors go to the error stream only";
}

TEST(Interpreter, QuitEndsTheInput) {
    frontend::DiModule notLoaded;
    std::ostringstream out;
    Session session(notLoaded, out);
    Interpreter interpreter(session);
    std::istringstream script("exit\nfrobnicate\n");
    EXPECT_EQ(interpreter.Run(script, false, false), 0);
    EXPECT_TRUE(interpreter.QuitRequested());
    EXPECT_EQ(out.str().find("frobnicate"), std::string::npos) << "nothing runs after quit";
}

}  // namespace
