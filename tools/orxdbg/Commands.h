// The debugger's commands, declared as data, and the one parser that turns a
// line of text into a command and converted arguments.
//
// Each command is a row: its name (one or two words), the kinds of its
// arguments, its help text and its handler. The parser finds the row,
// converts every argument by its kind and reports a bad line in one line of
// text; handlers receive converted values only and never look at text. The
// help text is generated from the same rows.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"

namespace orxdbg {

enum class ArgKind {
    Number,    // 32-bit unsigned, decimal or 0x hexadecimal
    Count,     // a Number from 1 to 65536
    Location,  // a 32-bit address, or an ELF symbol with an optional +offset
    Bytes,     // one or more numbers from 0 to 255; takes the rest of the line
    Register,  // a register name (R0..R15, SP, LR, PC, XPSR), any case
    File,      // the name of an existing file
    Text,      // one word, as written
    Rest,      // the rest of the line, words joined by single spaces
    Format,    // x's "/NFU" written onto the command: count, format x|d|u, unit b|h|w
};

struct Param {
    ArgKind kind;
    const char* name;  // as the usage line shows it: "ADDR|SYMBOL"
    bool optional = false;
};

struct RegisterArg {
    int32_t id;
};

// One converted argument; monostate for an optional argument left out.
using ArgValue =
    std::variant<std::monostate, uint32_t, Location, std::vector<uint8_t>, RegisterArg, std::string, ExamineFormat>;

class Arguments {
public:
    std::vector<ArgValue> values;

    bool Has(std::size_t i) const { return i < values.size() && !std::holds_alternative<std::monostate>(values[i]); }
    uint32_t Number(std::size_t i) const { return std::get<uint32_t>(values.at(i)); }
    std::optional<uint32_t> OptionalNumber(std::size_t i) const {
        return Has(i) ? std::optional<uint32_t>(Number(i)) : std::nullopt;
    }
    const Location& Where(std::size_t i) const { return std::get<Location>(values.at(i)); }
    const std::vector<uint8_t>& Bytes(std::size_t i) const { return std::get<std::vector<uint8_t>>(values.at(i)); }
    int32_t Register(std::size_t i) const { return std::get<RegisterArg>(values.at(i)).id; }
    const std::string& Text(std::size_t i) const { return std::get<std::string>(values.at(i)); }
    std::optional<std::string> OptionalText(std::size_t i) const {
        return Has(i) ? std::optional<std::string>(Text(i)) : std::nullopt;
    }
    std::optional<Location> OptionalWhere(std::size_t i) const {
        return Has(i) ? std::optional<Location>(Where(i)) : std::nullopt;
    }
    std::optional<int32_t> OptionalRegister(std::size_t i) const {
        return Has(i) ? std::optional<int32_t>(Register(i)) : std::nullopt;
    }
    ExamineFormat Format(std::size_t i) const {
        return Has(i) ? std::get<ExamineFormat>(values.at(i)) : ExamineFormat{};
    }
};

struct Command;

// What a handler may use: the session, the command table (for help) and
// the request to leave.
struct CommandContext {
    Session& session;
    std::span<const Command> table;
    bool quit = false;
};

// A command is found by its name or an alias written in full, or by a
// prefix of its name's words that no other command shares ("cont", "i r").
struct Command {
    std::string_view name;  // "break", "write mem"
    std::vector<Param> args;
    std::string_view help;
    std::function<bool(CommandContext&, const Arguments&)> run;
    std::vector<std::string_view> aliases = {};  // "c", "i b"
};

// The debugger's command table.
std::span<const Command> Commands();

// "break ADDR|SYMBOL", "step [N]", "write mem ADDR|SYMBOL VALUE...".
std::string Usage(const Command& command);

// The result of parsing one line. A blank or comment line gives neither a
// command nor an error.
struct ParsedLine {
    const Command* command = nullptr;
    Arguments args;
    std::string error;  // one line, without a line break
};

// Splits a line into words: blanks separate, double quotes group (a path
// with spaces), '#' outside quotes starts a comment. False on an unterminated
// quote.
bool Tokenize(std::string_view line, std::vector<std::string>& words, std::string& error);

ParsedLine ParseLine(std::string_view line, std::span<const Command> table, const SymbolTable& symbols);

// Tab completion: the words that may stand where the last word of line
// (the text before the cursor) stands: command names, then by the argument's
// kind symbols, registers or file names. start is where that word begins.
struct Completion {
    std::size_t start = 0;
    std::vector<std::string> candidates;  // sorted, no duplicates
};
Completion Complete(std::string_view line, std::span<const Command> table, const SymbolTable& symbols);

// The command list, or the commands whose name is or begins with topic.
// False (and nothing printed) for a topic that names no command.
bool PrintHelp(std::ostream& out, std::span<const Command> table, std::string_view topic = {});

// Runs lines against a session: parse errors and failed commands are
// reported on the session's error stream.
class Interpreter {
public:
    explicit Interpreter(Session& session, std::span<const Command> table = Commands());

    // One line; false when it could not be parsed or the command failed.
    bool RunLine(std::string_view line);
    // Lines until the end of the input or quit. With prompt, "(orxdbg) " is
    // shown before each line; with echo, each command is printed before it
    // runs (scripts). With stopOnError the first line that fails ends the
    // run. Returns the number of lines that failed.
    int Run(std::istream& in, bool prompt, bool echo, bool stopOnError = false);
    bool QuitRequested() const { return context_.quit; }
    // A script's run was interrupted with Ctrl-C and the script ended.
    bool Interrupted() const { return interrupted_; }

private:
    CommandContext context_;
    bool interrupted_ = false;
};

}  // namespace orxdbg
