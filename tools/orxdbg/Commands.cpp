#include "tools/orxdbg/Commands.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <istream>
#include <ostream>

namespace orxdbg {

// ---- The table -------------------------------------------------------------

std::span<const Command> Commands() {
    using K = ArgKind;
    static const std::vector<Command> table = {
        {"open", {{K::Text, "PATH", true}, {K::Text, "DESIGNATOR", true}},
         "open a GDI instance as the front-end at PATH (its name selects the processor family; default "
         "C:\\Tools\\qdvarm.exe) for the processor DESIGNATOR (default CORTEXM)",
         [](CommandContext& c, const Arguments& a) { return c.session.Open(a.OptionalText(0), a.OptionalText(1)); }},
        {"maps", {},
         "send the register map (R0..R12 SP LR PC XPSR, PC is the program counter) and the memory-space map "
         "(MEMORY as 0)",
         [](CommandContext& c, const Arguments&) { return c.session.SendMaps(); }},
        {"load", {{K::File, "FILE"}},
         "download an ELF file (loadable segments at their physical addresses; also gives the symbols) or an "
         "Intel HEX file, in blocks of at most 1024 bytes",
         [](CommandContext& c, const Arguments& a) { return c.session.Load(a.Text(0)); }},
        {"break", {{K::Location, "ADDR|SYMBOL"}}, "set a breakpoint on the Thumb instruction at ADDR or SYMBOL",
         [](CommandContext& c, const Arguments& a) { return c.session.Break(a.Where(0)); }},
        {"delete", {{K::Location, "ID|ADDR|SYMBOL"}}, "clear a breakpoint, given by its id, its address or its symbol",
         [](CommandContext& c, const Arguments& a) { return c.session.Delete(a.Where(0)); }},
        {"continue", {},
         "run until the processor stops, then show the status; Ctrl-C cancels the wait and leaves the processor "
         "running",
         [](CommandContext& c, const Arguments&) { return c.session.Continue(); }},
        {"finish", {}, "run until the current function returns (to the address in LR)",
         [](CommandContext& c, const Arguments&) { return c.session.Finish(); }},
        {"step", {{K::Count, "N", true}}, "execute N instructions (default 1), then show the status",
         [](CommandContext& c, const Arguments& a) { return c.session.Step(a.OptionalNumber(0).value_or(1)); }},
        {"stop", {}, "halt the processor",
         [](CommandContext& c, const Arguments&) { return c.session.Stop(); }},
        {"reset", {}, "reset the processor: it restarts from its vector table",
         [](CommandContext& c, const Arguments&) { return c.session.Reset(); }},
        {"status", {},
         "show why the processor stopped (running, single step, breakpoint with its id and symbol, halted, "
         "stopped, unknown) and the module's message",
         [](CommandContext& c, const Arguments&) { return c.session.ShowStatus(); }},
        {"regs", {}, "show the registers",
         [](CommandContext& c, const Arguments&) { return c.session.ShowRegisters(); }},
        {"mem", {{K::Location, "ADDR|SYMBOL"}, {K::Count, "COUNT", true}},
         "dump COUNT bytes of memory (default 64) in hexadecimal and ASCII",
         [](CommandContext& c, const Arguments& a) {
             return c.session.DumpMemory(a.Where(0), a.OptionalNumber(1).value_or(64));
         }},
        {"words", {{K::Location, "ADDR|SYMBOL"}, {K::Count, "COUNT", true}},
         "show COUNT 32-bit little-endian words of memory (default: the symbol's size, else 4)",
         [](CommandContext& c, const Arguments& a) { return c.session.ShowWords(a.Where(0), a.OptionalNumber(1)); }},
        {"write mem", {{K::Location, "ADDR|SYMBOL"}, {K::Bytes, "BYTE..."}}, "write bytes to memory",
         [](CommandContext& c, const Arguments& a) { return c.session.WriteMemory(a.Where(0), a.Bytes(1)); }},
        {"write reg", {{K::Register, "NAME"}, {K::Number, "VALUE"}}, "write a register",
         [](CommandContext& c, const Arguments& a) { return c.session.WriteRegister(a.Register(0), a.Number(1)); }},
        {"close", {}, "close the GDI instance",
         [](CommandContext& c, const Arguments&) { return c.session.Close(); }},
        {"help", {{K::Rest, "COMMAND", true}}, "list the commands, or explain one",
         [](CommandContext& c, const Arguments& a) {
             const std::string topic = a.OptionalText(0).value_or("");
             if (PrintHelp(c.session.Out(), c.table, topic)) return true;
             c.session.Out() << "error: no command '" << topic << "' (try 'help')" << std::endl;
             return false;
         }},
        {"quit", {}, "close the session and leave",
         [](CommandContext& c, const Arguments&) {
             c.quit = true;
             return true;
         }},
    };
    return table;
}

// ---- Parsing ------------------------------------------------------------------

namespace {

std::vector<std::string_view> NameWords(std::string_view name) {
    std::vector<std::string_view> words;
    while (!name.empty()) {
        const std::size_t space = name.find(' ');
        words.push_back(name.substr(0, space));
        if (space == std::string_view::npos) break;
        name.remove_prefix(space + 1);
    }
    return words;
}

bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

bool StartsLikeNumber(std::string_view text) { return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])); }

// Converts one word by its kind; false with a one-line error.
bool Convert(const Param& param, const std::string& word, const SymbolTable& symbols, ArgValue& value,
             std::string& error) {
    switch (param.kind) {
        case ArgKind::Number:
        case ArgKind::Count: {
            const auto n = ParseNumber(word, 0xFFFFFFFFu);
            if (!n) {
                error = "bad number '" + word + "' for " + param.name + " (decimal, or hexadecimal with 0x)";
                return false;
            }
            if (param.kind == ArgKind::Count && (*n < 1 || *n > 65536)) {
                error = std::string(param.name) + " must be from 1 to 65536, not " + word;
                return false;
            }
            value = static_cast<uint32_t>(*n);
            return true;
        }
        case ArgKind::Location: {
            if (StartsLikeNumber(word)) {
                const auto n = ParseNumber(word, ~uint64_t{0});
                if (!n) {
                    error = "bad address '" + word + "' (decimal, or hexadecimal with 0x)";
                    return false;
                }
                value = Location{*n, ""};
                return true;
            }
            const std::size_t plus = word.find('+');
            const std::string name = word.substr(0, plus);
            uint64_t offset = 0;
            if (plus != std::string::npos) {
                const auto n = ParseNumber(std::string_view(word).substr(plus + 1), 0xFFFFFFFFu);
                if (!n) {
                    error = "bad offset in '" + word + "'";
                    return false;
                }
                offset = *n;
            }
            const Symbol* symbol = symbols.Find(name);
            if (!symbol) {
                error = "unknown symbol '" + name + "'" + (symbols.Empty() ? " (no ELF file loaded)" : "");
                return false;
            }
            value = Location{symbol->address + offset, word};
            return true;
        }
        case ArgKind::Register: {
            const auto id = RegisterIdFor(word);
            if (!id) {
                error = "unknown register '" + word + "' (R0..R12, SP, LR, PC, XPSR)";
                return false;
            }
            value = RegisterArg{*id};
            return true;
        }
        case ArgKind::File: {
            std::error_code ignored;
            if (!std::filesystem::is_regular_file(word, ignored)) {
                error = "no such file '" + word + "'";
                return false;
            }
            value = word;
            return true;
        }
        case ArgKind::Text:
        case ArgKind::Rest:
        case ArgKind::Bytes:
            break;
    }
    value = word;
    return true;
}

}  // namespace

std::string Usage(const Command& command) {
    std::string usage(command.name);
    for (const Param& a : command.args) usage += a.optional ? std::string(" [") + a.name + "]" : std::string(" ") + a.name;
    return usage;
}

bool Tokenize(std::string_view line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const std::size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                error = "unterminated quote";
                return false;
            }
            words.emplace_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            std::size_t end = i;
            while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])) && line[end] != '"' &&
                   line[end] != '#')
                ++end;
            words.emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

ParsedLine ParseLine(std::string_view line, std::span<const Command> table, const SymbolTable& symbols) {
    ParsedLine parsed;
    std::vector<std::string> words;
    if (!Tokenize(line, words, parsed.error) || words.empty()) return parsed;

    // The command whose name words begin the line; the longest wins.
    std::size_t nameLength = 0;
    for (const Command& command : table) {
        const auto name = NameWords(command.name);
        if (name.size() > words.size() || name.size() <= nameLength) continue;
        if (std::equal(name.begin(), name.end(), words.begin(), [](std::string_view n, const std::string& w) {
                return SameWord(n, w);
            })) {
            parsed.command = &command;
            nameLength = name.size();
        }
    }
    if (!parsed.command) {
        std::string choices;
        for (const Command& command : table) {
            const auto name = NameWords(command.name);
            if (name.size() > 1 && SameWord(name[0], words[0]))
                choices += (choices.empty() ? "" : " or ") + std::string("'") + std::string(name[1]) + "'";
        }
        parsed.error = choices.empty() ? "unknown command '" + words[0] + "' (try 'help')"
                                       : "'" + words[0] + "' needs " + choices + " after it";
        return parsed;
    }

    const Command& command = *parsed.command;
    auto fail = [&](std::string message) {
        parsed.command = nullptr;
        parsed.args.values.clear();
        parsed.error = std::move(message) + " (usage: " + Usage(command) + ")";
        return parsed;
    };
    std::size_t next = nameLength;
    for (const Param& param : command.args) {
        if (next >= words.size()) {
            if (!param.optional) return fail(std::string(command.name) + ": missing " + param.name);
            parsed.args.values.emplace_back();
            continue;
        }
        if (param.kind == ArgKind::Bytes) {
            std::vector<uint8_t> bytes;
            for (; next < words.size(); ++next) {
                const auto n = ParseNumber(words[next], ~uint64_t{0});
                if (!n) return fail(std::string(command.name) + ": bad number '" + words[next] + "'");
                if (*n > 0xFF) return fail(std::string(command.name) + ": " + words[next] + " does not fit in a byte");
                bytes.push_back(static_cast<uint8_t>(*n));
            }
            parsed.args.values.emplace_back(std::move(bytes));
            continue;
        }
        if (param.kind == ArgKind::Rest) {
            std::string text;
            for (; next < words.size(); ++next) text += (text.empty() ? "" : " ") + words[next];
            parsed.args.values.emplace_back(std::move(text));
            continue;
        }
        ArgValue value;
        std::string error;
        if (!Convert(param, words[next], symbols, value, error)) return fail(std::string(command.name) + ": " + error);
        parsed.args.values.push_back(std::move(value));
        ++next;
    }
    if (next < words.size()) return fail(std::string(command.name) + ": unexpected '" + words[next] + "'");
    return parsed;
}

// ---- Help ----------------------------------------------------------------------

bool PrintHelp(std::ostream& out, std::span<const Command> table, std::string_view topic) {
    std::vector<const Command*> shown;
    for (const Command& command : table) {
        const std::string_view name = command.name;
        if (topic.empty() || SameWord(name, topic) ||
            (name.size() > topic.size() && name[topic.size()] == ' ' && SameWord(name.substr(0, topic.size()), topic)))
            shown.push_back(&command);
    }
    if (shown.empty()) return false;
    std::size_t width = 0;
    for (const Command* c : shown) width = std::max(width, Usage(*c).size());
    if (topic.empty()) out << "commands:\n";
    // Help texts wrap at 100 columns, continued under their first word.
    constexpr std::size_t kColumns = 100;
    const std::size_t indent = width + 4;
    for (const Command* c : shown) {
        const std::string usage = Usage(*c);
        out << "  " << usage << std::string(width - usage.size() + 2, ' ');
        std::size_t column = indent;
        std::string_view text = c->help;
        while (!text.empty()) {
            const std::size_t space = text.find(' ');
            const std::string_view word = text.substr(0, space);
            if (column > indent && column + 1 + word.size() > kColumns) {
                out << "\n" << std::string(indent, ' ');
                column = indent;
            } else if (column > indent) {
                out << ' ';
                ++column;
            }
            out << word;
            column += word.size();
            text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        }
        out << "\n";
    }
    if (topic.empty())
        out << "numbers are decimal or 0x hexadecimal; an address may be an ELF symbol, optionally +offset;\n"
               "'#' starts a comment; double quotes group a word with spaces\n";
    out << std::flush;
    return true;
}

// ---- Interpreter --------------------------------------------------------------

Interpreter::Interpreter(Session& session, std::span<const Command> table) : context_{session, table} {}

bool Interpreter::RunLine(std::string_view line) {
    ParsedLine parsed = ParseLine(line, context_.table, context_.session.Symbols());
    if (!parsed.error.empty()) {
        context_.session.Out() << "error: " << parsed.error << std::endl;
        return false;
    }
    if (!parsed.command) return true;
    return parsed.command->run(context_, parsed.args);
}

int Interpreter::Run(std::istream& in, bool prompt, bool echo) {
    int failures = 0;
    std::string line;
    std::ostream& out = context_.session.Out();
    while (!context_.quit) {
        if (prompt) out << "(orxdbg) " << std::flush;
        if (!std::getline(in, line)) {
            if (prompt) out << std::endl;
            break;
        }
        if (echo) {
            // Scripts narrate with comment lines: shown as they are.
            const std::size_t first = line.find_first_not_of(" \t");
            if (first != std::string::npos) out << (line[first] == '#' ? "" : "> ") << line.substr(first) << std::endl;
        }
        if (!RunLine(line)) ++failures;
    }
    return failures;
}

}  // namespace orxdbg
