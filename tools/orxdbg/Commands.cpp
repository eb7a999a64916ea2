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
         "{PATH}) for the processor DESIGNATOR (default {DESIGNATOR}), send the maps and check that the "
         "processor answers",
         [](CommandContext& c, const Arguments& a) { return c.session.Open(a.OptionalText(0), a.OptionalText(1)); }},
        {"maps", {},
         "send the register map ({REGISTERS}; PC is the program counter) and the memory-space map "
         "(MEMORY as 0) again; 'open' sends them",
         [](CommandContext& c, const Arguments&) { return c.session.SendMaps(); }},
        {"load", {{K::File, "FILE"}},
         "download a 32-bit {ELF} file (loadable segments at their physical addresses; also gives "
         "the symbols) or an Intel HEX file, in blocks of at most 1024 bytes, and set the pc to its entry point",
         [](CommandContext& c, const Arguments& a) { return c.session.Load(a.Text(0)); }},
        {"break", {{K::Location, "ADDR|SYMBOL"}},
         "set a breakpoint on the {ISA} instruction at ADDR or SYMBOL; breakpoints are numbered 1, 2, 3...",
         [](CommandContext& c, const Arguments& a) { return c.session.Break(a.Where(0)); },
         {"b"}},
        {"delete", {{K::Number, "N", true}}, "delete breakpoint number N, or all breakpoints",
         [](CommandContext& c, const Arguments& a) { return c.session.Delete(a.OptionalNumber(0)); },
         {"d"}},
        {"info break", {}, "list the breakpoints: number, address, hits and symbol",
         [](CommandContext& c, const Arguments&) { return c.session.InfoBreakpoints(); },
         {"i b"}},
        {"info registers", {{K::Register, "REG", true}},
         "show the registers (or one){STATUS}",
         [](CommandContext& c, const Arguments& a) { return c.session.ShowRegisters(a.OptionalRegister(0)); },
         {"i r", "regs"}},
        {"continue", {},
         "run until the processor stops, then show where; Ctrl-C halts it",
         [](CommandContext& c, const Arguments&) { return c.session.Continue(); },
         {"c"}},
        {"finish", {}, "run until the current function returns (to the address in LR)",
         [](CommandContext& c, const Arguments&) { return c.session.Finish(); }},
        {"step", {{K::Count, "N", true}}, "execute N instructions (default 1), then show where the processor is",
         [](CommandContext& c, const Arguments& a) { return c.session.Step(a.OptionalNumber(0).value_or(1)); },
         {"s", "si", "stepi"}},
        {"stop", {}, "halt the processor",
         [](CommandContext& c, const Arguments&) { return c.session.Stop(); }},
        {"reset", {}, "reset the processor: it restarts {RESET}",
         [](CommandContext& c, const Arguments&) { return c.session.Reset(); }},
        {"status", {},
         "show why the processor stopped (running, single step, breakpoint with its number, halted, stopped, "
         "unknown) and the module's message",
         [](CommandContext& c, const Arguments&) { return c.session.ShowStatus(); }},
        {"x", {{K::Format, "/NFU", true}, {K::Location, "ADDR|SYMBOL"}},
         "examine memory: N units (default 1) of U = b (8 bits), h (16) or w (32, default), shown as F = x "
         "(hexadecimal, default), d (signed) or u (unsigned decimal); x/16xw table, x/8xb 0x20000000",
         [](CommandContext& c, const Arguments& a) { return c.session.Examine(a.Where(1), a.Format(0)); }},
        {"mem", {{K::Location, "ADDR|SYMBOL"}, {K::Count, "COUNT", true}},
         "dump COUNT bytes of memory (default 64) in hexadecimal and ASCII",
         [](CommandContext& c, const Arguments& a) {
             return c.session.DumpMemory(a.Where(0), a.OptionalNumber(1).value_or(64));
         }},
        {"words", {{K::Location, "ADDR|SYMBOL"}, {K::Count, "COUNT", true}},
         "show COUNT 32-bit words of memory (default: the symbol's size, else 4) in hexadecimal and decimal",
         [](CommandContext& c, const Arguments& a) { return c.session.ShowWords(a.Where(0), a.OptionalNumber(1)); }},
        {"dump", {{K::Text, "FILE"}, {K::Location, "ADDR|SYMBOL"}, {K::Number, "LEN"}},
         "write LEN bytes of memory from ADDR to FILE, as they are",
         [](CommandContext& c, const Arguments& a) {
             return c.session.DumpToFile(a.Text(0), a.Where(1), a.Number(2));
         }},
        {"disassemble", {{K::Location, "ADDR|SYMBOL", true}, {K::Count, "N", true}},
         "show N {ISA} instructions (default 8; a function named without N: all of it) from ADDR or SYMBOL, "
         "or from the pc",
         [](CommandContext& c, const Arguments& a) {
             return c.session.Disassemble(a.OptionalWhere(0), a.OptionalNumber(1));
         }},
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
             c.session.Error() << "no command '" << topic << "' (try 'help')" << std::endl;
             return false;
         }},
        {"quit", {}, "close the session and leave",
         [](CommandContext& c, const Arguments&) {
             c.quit = true;
             return true;
         },
         {"q", "exit"}},
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

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

// A non-empty beginning of word, ignoring case.
bool BeginsWord(std::string_view prefix, std::string_view word) {
    return !prefix.empty() && prefix.size() <= word.size() && SameWord(prefix, word.substr(0, prefix.size()));
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

// "x/16xw" is the command x with the argument "/16xw".
void SplitFormat(std::vector<std::string>& words) {
    if (words.empty()) return;
    const std::size_t slash = words[0].find('/');
    if (slash == std::string::npos || slash == 0) return;
    words.insert(words.begin() + 1, words[0].substr(slash));
    words[0].resize(slash);
}

bool ParseFormat(const std::string& word, ExamineFormat& format, std::string& error) {
    std::size_t i = 1;
    while (i < word.size() && std::isdigit(static_cast<unsigned char>(word[i]))) ++i;
    if (i > 1) {
        const auto n = ParseNumber(std::string_view(word).substr(1, i - 1), 0xFFFFFFFFu);
        if (!n || *n < 1 || *n > 65536) {
            error = "the count in '" + word + "' must be from 1 to 65536";
            return false;
        }
        format.count = static_cast<uint32_t>(*n);
    }
    if (word.size() == 1) {
        error = "'/' needs a count, a format or a unit after it";
        return false;
    }
    for (; i < word.size(); ++i) {
        switch (word[i]) {
            case 'x': case 'd': case 'u': format.format = word[i]; break;
            case 'b': format.unit = 1; break;
            case 'h': format.unit = 2; break;
            case 'w': format.unit = 4; break;
            default:
                error = std::string("bad letter '") + word[i] + "' in '" + word +
                        "' (formats x d u, units b h w, e.g. /16xw)";
                return false;
        }
    }
    return true;
}

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
            // SPACE:ADDR names one of the board's memory spaces (XDATA:0x10).
            std::optional<uint32_t> space;
            std::string where = word;
            if (const std::size_t colon = word.find(':'); colon != std::string::npos) {
                const std::string name = word.substr(0, colon);
                const std::vector<std::string> spaces = sim::MemorySpaceNames(CurrentBoard());
                for (std::size_t i = 0; i < spaces.size() && !space; ++i)
                    if (SameWord(name, spaces[i])) space = static_cast<uint32_t>(i);
                if (!space) {
                    error = "no memory space '" + name + "' on this board (";
                    for (std::size_t i = 0; i < spaces.size(); ++i) error += (i ? ", " : "") + spaces[i];
                    error += ")";
                    return false;
                }
                where = word.substr(colon + 1);
            }
            if (StartsLikeNumber(where)) {
                const auto n = ParseNumber(where, ~uint64_t{0});
                if (!n) {
                    error = "bad address '" + word + "' (decimal, or hexadecimal with 0x)";
                    return false;
                }
                if (*n > 0xFFFFFFFFu) {
                    error = "address " + word + " does not fit in 32 bits (the largest is 0xffffffff)";
                    return false;
                }
                value = Location{static_cast<uint32_t>(*n), "", space.value_or(0)};
                return true;
            }
            // SYMBOL, SYMBOL+OFFSET or SYMBOL-OFFSET.
            const std::size_t sign = where.find_first_of("+-", 1);
            const std::string name = where.substr(0, sign);
            uint64_t offset = 0;
            const bool below = sign != std::string::npos && where[sign] == '-';
            if (sign != std::string::npos) {
                const auto n = ParseNumber(std::string_view(where).substr(sign + 1), 0xFFFFFFFFu);
                if (!n) {
                    error = "bad offset in '" + word + "'";
                    return false;
                }
                offset = *n;
            }
            const Symbol* symbol = symbols.Find(name);
            if (!symbol) {
                error = "unknown symbol '" + name + "'" + (symbols.Empty() ? " (no symbols loaded: load an ELF file, or an Intel HEX file with its linker map)" : "");
                return false;
            }
            if (below && offset > symbol->address) {
                error = "'" + word + "' lies below address 0";
                return false;
            }
            if (!below && symbol->address + offset > 0xFFFFFFFFu) {
                error = "'" + word + "' lies beyond 32 bits (the largest address is 0xffffffff)";
                return false;
            }
            value = Location{static_cast<uint32_t>(below ? symbol->address - offset : symbol->address + offset), where,
                             space.value_or(symbol->space)};
            return true;
        }
        case ArgKind::Register: {
            const auto id = RegisterIdFor(word);
            if (!id) {
                error = "unknown register '" + word + "' (" + RegisterList() + ")";
                return false;
            }
            value = RegisterArg{*id};
            return true;
        }
        case ArgKind::File: {
            std::error_code ignored;
            if (std::filesystem::is_directory(word, ignored)) {
                error = "'" + word + "' is a directory, not a file";
                return false;
            }
            if (!std::filesystem::is_regular_file(word, ignored)) {
                error = "no such file '" + word + "'";
                return false;
            }
            value = word;
            return true;
        }
        case ArgKind::Format: {
            ExamineFormat format;
            if (!ParseFormat(word, format, error)) return false;
            value = format;
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

// The command that the first words name: a name or alias in full (the
// longest wins), else the one command whose name words they begin. Sets
// used to the number of words the name took; null with an error otherwise.
const Command* FindCommand(const std::vector<std::string>& words, std::span<const Command> table, std::size_t& used,
                           std::string& error) {
    const Command* exact = nullptr;
    std::size_t exactLength = 0;
    std::vector<const Command*> prefixed;
    std::size_t prefixLength = 0;
    for (const Command& command : table) {
        auto consider = [&](std::string_view name, bool allowPrefix) {
            const auto nameWords = NameWords(name);
            if (nameWords.size() > words.size()) return;
            bool same = true, begins = true;
            for (std::size_t i = 0; i < nameWords.size(); ++i) {
                same = same && SameWord(words[i], nameWords[i]);
                begins = begins && BeginsWord(words[i], nameWords[i]);
            }
            if (same && nameWords.size() > exactLength) {
                exact = &command;
                exactLength = nameWords.size();
            } else if (!same && begins && allowPrefix && nameWords.size() >= prefixLength) {
                if (nameWords.size() > prefixLength) prefixed.clear();
                prefixLength = nameWords.size();
                if (std::find(prefixed.begin(), prefixed.end(), &command) == prefixed.end()) prefixed.push_back(&command);
            }
        };
        consider(command.name, true);
        for (std::string_view alias : command.aliases) consider(alias, false);
    }
    if (exact && exactLength >= prefixLength) {
        used = exactLength;
        return exact;
    }
    if (prefixed.size() == 1) {
        used = prefixLength;
        return prefixed.front();
    }
    if (prefixed.size() > 1) {
        std::string names;
        for (const Command* c : prefixed) names += (names.empty() ? "" : ", ") + std::string(c->name);
        error = "ambiguous command '" + words[0] + "': " + names;
        return nullptr;
    }
    if (exact) {
        used = exactLength;
        return exact;
    }
    // A first word of two-word commands alone.
    std::string choices;
    for (const Command& command : table) {
        const auto name = NameWords(command.name);
        bool first = name.size() > 1 && BeginsWord(words[0], name[0]);
        for (std::string_view alias : command.aliases) {
            const auto aliasWords = NameWords(alias);
            first = first || (aliasWords.size() > 1 && SameWord(words[0], aliasWords[0]));
        }
        if (first && name.size() > 1) choices += (choices.empty() ? "" : " or ") + std::string("'") + std::string(name[1]) + "'";
    }
    error = choices.empty() ? "unknown command '" + words[0] + "' (try 'help')"
                            : "'" + words[0] + "' needs " + choices + " after it";
    return nullptr;
}

}  // namespace

std::string Usage(const Command& command) {
    std::string usage(command.name);
    for (const Param& a : command.args) {
        if (a.kind == ArgKind::Format)
            usage += std::string("[") + a.name + "]";
        else
            usage += a.optional ? std::string(" [") + a.name + "]" : std::string(" ") + a.name;
    }
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
    SplitFormat(words);

    std::size_t nameLength = 0;
    parsed.command = FindCommand(words, table, nameLength, parsed.error);
    if (!parsed.command) return parsed;

    const Command& command = *parsed.command;
    auto fail = [&](std::string message) {
        parsed.command = nullptr;
        parsed.args.values.clear();
        parsed.error = std::move(message) + " (usage: " + Usage(command) + ")";
        return parsed;
    };
    std::size_t next = nameLength;
    for (const Param& param : command.args) {
        if (param.kind == ArgKind::Format && (next >= words.size() || words[next].empty() || words[next][0] != '/')) {
            parsed.args.values.emplace_back();
            continue;
        }
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

// ---- Completion -----------------------------------------------------------------

namespace {

std::vector<std::string> FileCandidates(const std::string& typed) {
    std::vector<std::string> found;
    const std::size_t slash = typed.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
    const std::string prefix = slash == std::string::npos ? typed : typed.substr(slash + 1);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory.empty() ? "." : directory, error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0 || (prefix.empty() && name[0] == '.')) continue;
        std::error_code ignored;
        found.push_back(directory + name + (entry.is_directory(ignored) ? "/" : ""));
    }
    return found;
}

}  // namespace

Completion Complete(std::string_view line, std::span<const Command> table, const SymbolTable& symbols) {
    Completion result;
    std::size_t start = line.size();
    while (start > 0 && !std::isspace(static_cast<unsigned char>(line[start - 1]))) --start;
    std::string word(line.substr(start));
    std::vector<std::string> before;
    std::string ignored;
    if (!Tokenize(line.substr(0, start), before, ignored)) return result;
    // "x/4xw ta": the format belongs to the command word.
    if (before.empty() && word.find('/') != std::string::npos) return result;
    SplitFormat(before);
    result.start = start;

    std::vector<std::string> candidates;
    auto offer = [&](std::string_view candidate, bool ignoreCase) {
        const bool matches = ignoreCase ? (word.empty() || BeginsWord(word, candidate))
                                        : candidate.substr(0, word.size()) == word;
        if (matches) candidates.emplace_back(candidate);
    };

    if (before.empty()) {
        for (const Command& command : table) offer(NameWords(command.name).front(), true);
    } else {
        std::size_t used = 0;
        std::string error;
        const Command* command = FindCommand(before, table, used, error);
        if (!command) {
            // The second word of a two-word command.
            if (before.size() == 1)
                for (const Command& c : table) {
                    const auto name = NameWords(c.name);
                    if (name.size() > 1 && (BeginsWord(before[0], name[0]) || [&] {
                            for (std::string_view alias : c.aliases)
                                if (SameWord(NameWords(alias)[0], before[0])) return true;
                            return false;
                        }()))
                        offer(name[1], true);
                }
        } else {
            // Which parameter the word stands for.
            std::size_t index = before.size() - used;
            const bool formatGiven = before.size() > used && !before[used].empty() && before[used][0] == '/';
            const Param* param = nullptr;
            for (const Param& p : command->args) {
                if (p.kind == ArgKind::Format) {
                    if (formatGiven) --index;
                    continue;
                }
                if (p.kind == ArgKind::Bytes || p.kind == ArgKind::Rest || index == 0) {
                    param = &p;
                    break;
                }
                --index;
            }
            if (param) {
                switch (param->kind) {
                    case ArgKind::Location:
                        for (const std::string& name : symbols.Names()) offer(name, false);
                        break;
                    case ArgKind::Register:
                        for (const std::string& name : RegisterNames()) offer(name, true);
                        break;
                    case ArgKind::File:
                    case ArgKind::Text:
                        if (command->name == "load" || command->name == "dump") candidates = FileCandidates(word);
                        break;
                    case ArgKind::Rest:
                        if (command->name == "help")
                            for (const Command& c : table) offer(NameWords(c.name).front(), true);
                        break;
                    default:
                        break;
                }
            }
        }
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    result.candidates = std::move(candidates);
    return result;
}

// ---- Help ----------------------------------------------------------------------

namespace {

// A help text with the current board's particulars filled in.
std::string BoardText(std::string text) {
    const sim::Board& board = CurrentBoard();
    const std::pair<std::string_view, std::string> fields[] = {
        {"{PATH}", board.arch.frontEndPath},
        {"{DESIGNATOR}", board.arch.designator},
        {"{REGISTERS}", RegisterList()},
        {"{ELF}", std::string(board.arch.bigEndian ? "big-endian " : "little-endian ") + board.arch.elfMachineName + " ELF"},
        {"{ISA}", board.arch.instructionSetName},
        {"{STATUS}", board.arch.statusHelp},
        {"{RESET}", board.arch.resetHelp},
    };
    for (const auto& [field, value] : fields)
        for (std::size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + value.size()))
            text.replace(at, field.size(), value);
    return text;
}

}  // namespace

bool PrintHelp(std::ostream& out, std::span<const Command> table, std::string_view topic) {
    std::vector<const Command*> shown;
    for (const Command& command : table) {
        const std::string_view name = command.name;
        if (topic.empty() || SameWord(name, topic) ||
            (name.size() > topic.size() && name[topic.size()] == ' ' && SameWord(name.substr(0, topic.size()), topic)))
            shown.push_back(&command);
    }
    if (shown.empty() && !topic.empty()) {
        // An alias or an abbreviation: "help c", "help i r".
        std::vector<std::string> words;
        std::string error;
        std::size_t used = 0;
        if (Tokenize(topic, words, error) && !words.empty())
            if (const Command* command = FindCommand(words, table, used, error); command && used == words.size())
                shown.push_back(command);
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
        std::string help = BoardText(std::string(c->help));
        if (!c->aliases.empty()) {
            help += " (also:";
            for (std::string_view alias : c->aliases) help += " " + std::string(alias);
            help += ")";
        }
        std::string_view text = help;
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
        out << "numbers are decimal or 0x hexadecimal; addresses are 32-bit and may be an ELF symbol, optionally\n"
               "+offset; a command may be shortened to any beginning no other command shares; '#' starts a\n"
               "comment; double quotes group a word with spaces\n";
    out << std::flush;
    return true;
}

// ---- Interpreter --------------------------------------------------------------

Interpreter::Interpreter(Session& session, std::span<const Command> table) : context_{session, table} {}

bool Interpreter::RunLine(std::string_view line) {
    ParsedLine parsed = ParseLine(line, context_.table, context_.session.Symbols());
    if (!parsed.error.empty()) {
        context_.session.Error() << parsed.error << std::endl;
        return false;
    }
    if (!parsed.command) return true;
    // A command that works on the target opens the default session first, as
    // gdb connects to its default target: `orxdbg -c "load fw.elf" -c continue`
    // needs no explicit open.
    static constexpr std::string_view kWithoutTarget[] = {"open", "close", "help", "quit"};
    const bool needsTarget =
        std::find(std::begin(kWithoutTarget), std::end(kWithoutTarget), parsed.command->name) == std::end(kWithoutTarget);
    if (needsTarget && !context_.session.IsOpen() && !context_.session.Open(std::nullopt, std::nullopt)) return false;
    return parsed.command->run(context_, parsed.args);
}

int Interpreter::Run(std::istream& in, bool prompt, bool echo, bool stopOnError) {
    int failures = 0;
    std::string line;
    std::ostream& out = context_.session.Out();
    while (!context_.quit) {
        if (Session::Terminating()) {
            interrupted_ = true;
            break;
        }
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
        if (!RunLine(line)) {
            ++failures;
            if (stopOnError) break;
        }
        // Ctrl-C during a run of a script halts the target and ends the script.
        if (!prompt && context_.session.TakeInterrupted()) {
            interrupted_ = true;
            break;
        }
    }
    return failures;
}

}  // namespace orxdbg
