#include "tools/orxdbg/Image.h"
#include "tools/orxdbg/Session.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace orxdbg {

// ---- Symbols -------------------------------------------------------------

void SymbolTable::Add(Symbol symbol) {
    if (symbol.name.empty() || byName_.count(symbol.name)) return;
    byAddress_.emplace(symbol.address, symbol.name);
    byName_.emplace(symbol.name, std::move(symbol));
}

void SymbolTable::Clear() {
    byName_.clear();
    byAddress_.clear();
}

const Symbol* SymbolTable::Find(const std::string& name) const {
    const auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : &it->second;
}

std::vector<std::string> SymbolTable::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, symbol] : byName_) names.push_back(name);
    return names;
}

const Symbol* SymbolTable::Covering(uint64_t address, uint32_t space) const {
    const Symbol* best = nullptr;
    for (auto it = byAddress_.begin(); it != byAddress_.end() && it->first <= address; ++it) {
        const Symbol& s = byName_.at(it->second);
        if (s.space == space && s.size != 0 && address - s.address < s.size && (!best || s.address >= best->address))
            best = &s;
    }
    return best;
}

std::string SymbolTable::Describe(uint64_t address, uint32_t space) const {
    // The innermost sized symbol that covers the address...
    if (const Symbol* best = Covering(address, space)) {
        if (best->address == address) return best->name;
        char offset[32];
        std::snprintf(offset, sizeof offset, "+0x%llx", static_cast<unsigned long long>(address - best->address));
        return best->name + offset;
    }
    // ...else a label exactly there.
    const auto [first, last] = byAddress_.equal_range(address);
    for (auto it = first; it != last; ++it)
        if (byName_.at(it->second).space == space) return it->second;
    return {};
}

std::size_t Image::ByteCount() const {
    std::size_t n = 0;
    for (const Segment& s : segments) n += s.bytes.size();
    return n;
}

// ---- ELF -------------------------------------------------------------------

namespace {

struct ElfFile {
    int fd = -1;
    Elf* elf = nullptr;
    ~ElfFile() {
        if (elf) elf_end(elf);
        if (fd >= 0) close(fd);
    }
};

std::string MachineName(unsigned machine) {
    switch (machine) {
        case EM_386: return "x86 (machine 3)";
        case EM_X86_64: return "x86-64 (machine 62)";
        case EM_AARCH64: return "AArch64 (machine 183)";
        case EM_RISCV: return "RISC-V (machine 243)";
        case EM_MIPS: return "MIPS (machine 8)";
        default: break;
    }
    // The boards' own machines by the names their messages use.
    if (const sim::Architecture* arch = sim::ArchitectureForElfMachine(static_cast<uint16_t>(machine)))
        return std::string(arch->elfMachineName) + " (machine " + std::to_string(machine) + ")";
    return "machine " + std::to_string(machine);
}

bool IsMappingSymbol(const std::string& name) {
    // ARM marks code and data runs with $a, $t, $d (optionally "$t.1").
    return name.size() >= 2 && name[0] == '$' && (name.size() == 2 || name[2] == '.');
}

}  // namespace

bool ReadElf(const std::string& path, Image& image, std::string& error) {
    if (elf_version(EV_CURRENT) == EV_NONE) {
        error = "libelf is out of date";
        return false;
    }
    ElfFile file;
    file.fd = open(path.c_str(), O_RDONLY);
    if (file.fd < 0) {
        error = "cannot open " + path;
        return false;
    }
    file.elf = elf_begin(file.fd, ELF_C_READ, nullptr);
    GElf_Ehdr header;
    if (!file.elf || elf_kind(file.elf) != ELF_K_ELF || !gelf_getehdr(file.elf, &header)) {
        error = path + " is not an ELF file";
        return false;
    }
    // Only the current board's processor runs there: 32-bit, its machine,
    // its byte order.
    const sim::Board& board = CurrentBoard();
    const unsigned char wantedData = board.arch.bigEndian ? ELFDATA2MSB : ELFDATA2LSB;
    const char* ident = elf_getident(file.elf, nullptr);
    if (!ident || ident[EI_CLASS] != ELFCLASS32 || ident[EI_DATA] != wantedData || header.e_machine != board.arch.elfMachine) {
        std::string what;
        if (ident && ident[EI_CLASS] == ELFCLASS64)
            what = "a 64-bit ELF file";
        else if (ident && ident[EI_DATA] != wantedData)
            what = ident[EI_DATA] == ELFDATA2MSB ? "a big-endian ELF file" : "a little-endian ELF file";
        else
            what = "an ELF file";
        if (header.e_machine != board.arch.elfMachine) what += " for " + MachineName(header.e_machine);
        error = path + " is " + what + ": only 32-bit " + (board.arch.bigEndian ? "big" : "little") + "-endian " +
                board.arch.elfMachineName + " images can be loaded";
        return false;
    }
    std::size_t fileSize = 0;
    const char* raw = elf_rawfile(file.elf, &fileSize);
    std::size_t headerCount = 0;
    if (!raw || elf_getphdrnum(file.elf, &headerCount) != 0) {
        error = path + ": cannot read the program headers";
        return false;
    }

    Image result;
    // Thumb addresses carry bit 0 in the entry point and function symbols.
    result.entry = board.arch.InstructionAddress(uint64_t{header.e_entry});

    for (std::size_t i = 0; i < headerCount; ++i) {
        GElf_Phdr segment;
        if (!gelf_getphdr(file.elf, static_cast<int>(i), &segment)) continue;
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
        if (segment.p_offset > fileSize || segment.p_filesz > fileSize - segment.p_offset) {
            error = path + ": a loadable segment lies outside the file";
            return false;
        }
        const auto* begin = reinterpret_cast<const uint8_t*>(raw) + segment.p_offset;
        result.segments.push_back({segment.p_paddr, std::vector<uint8_t>(begin, begin + segment.p_filesz)});
    }

    for (Elf_Scn* section = elf_nextscn(file.elf, nullptr); section; section = elf_nextscn(file.elf, section)) {
        GElf_Shdr sectionHeader;
        if (!gelf_getshdr(section, &sectionHeader) || sectionHeader.sh_type != SHT_SYMTAB) continue;
        Elf_Data* data = elf_getdata(section, nullptr);
        const std::size_t count = sectionHeader.sh_entsize ? sectionHeader.sh_size / sectionHeader.sh_entsize : 0;
        for (std::size_t k = 0; data && k < count; ++k) {
            GElf_Sym symbol;
            if (!gelf_getsym(data, static_cast<int>(k), &symbol) || symbol.st_shndx == SHN_UNDEF) continue;
            const int type = GELF_ST_TYPE(symbol.st_info);
            if (type == STT_SECTION || type == STT_FILE) continue;
            const char* name = elf_strptr(file.elf, sectionHeader.sh_link, symbol.st_name);
            if (!name || !*name || IsMappingSymbol(name)) continue;
            uint64_t address = symbol.st_value;
            if (type == STT_FUNC) address = board.arch.InstructionAddress(address);
            result.symbols.Add({name, address, symbol.st_size});
        }
    }
    if (result.segments.empty()) {
        error = path + " has no loadable contents";
        return false;
    }
    result.symbolSource = "the ELF file";
    image = std::move(result);
    return true;
}

// ---- Intel HEX ---------------------------------------------------------------

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void AddData(std::vector<Segment>& segments, uint64_t address, const std::vector<uint8_t>& data) {
    if (!segments.empty()) {
        Segment& last = segments.back();
        if (last.address + last.bytes.size() == address) {
            last.bytes.insert(last.bytes.end(), data.begin(), data.end());
            return;
        }
    }
    segments.push_back({address, data});
}

}  // namespace

bool ParseIntelHex(const std::string& text, Image& image, std::string& error) {
    Image result;
    uint64_t base = 0;
    bool ended = false;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; !ended && std::getline(lines, line); ++number) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.empty()) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (line[0] != ':') {
            error = where + "a record must start with ':'";
            return false;
        }
        if (line.size() % 2 == 0 || line.size() < 11) {
            error = where + "truncated record";
            return false;
        }
        std::vector<uint8_t> bytes;
        for (std::size_t i = 1; i < line.size(); i += 2) {
            const int high = HexDigit(line[i]), low = HexDigit(line[i + 1]);
            if (high < 0 || low < 0) {
                error = where + "'" + line.substr(i, 2) + "' is not a hexadecimal byte";
                return false;
            }
            bytes.push_back(static_cast<uint8_t>(high << 4 | low));
        }
        const std::size_t length = bytes[0];
        if (bytes.size() != length + 5) {
            error = where + "the record length does not match its byte count";
            return false;
        }
        uint8_t sum = 0;
        for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) {
            error = where + "bad checksum";
            return false;
        }
        const uint32_t offset = uint32_t(bytes[1]) << 8 | bytes[2];
        const std::vector<uint8_t> data(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(length));
        switch (bytes[3]) {
            case 0x00:
                AddData(result.segments, base + offset, data);
                break;
            case 0x01:
                ended = true;
                break;
            case 0x02:
            case 0x04:
                if (length != 2) {
                    error = where + "an address record carries two bytes";
                    return false;
                }
                base = bytes[3] == 0x02 ? (uint64_t(data[0]) << 8 | data[1]) << 4
                                        : (uint64_t(data[0]) << 8 | data[1]) << 16;
                break;
            case 0x03:
            case 0x05:
                if (length != 4) {
                    error = where + "a start address record carries four bytes";
                    return false;
                }
                if (bytes[3] == 0x05)
                    result.entry = uint64_t(data[0]) << 24 | uint64_t(data[1]) << 16 | uint64_t(data[2]) << 8 | data[3];
                break;
            default:
                error = where + "unknown record type " + std::to_string(bytes[3]);
                return false;
        }
    }
    if (!ended) {
        error = "no end-of-file record";
        return false;
    }
    if (result.segments.empty()) {
        error = "no data records";
        return false;
    }
    image = std::move(result);
    return true;
}

// ---- sdcc's linker map -------------------------------------------------------

namespace {

uint32_t SpaceNamed(const char* name) {
    const std::vector<std::string> names = sim::MemorySpaceNames(CurrentBoard());
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<uint32_t>(i);
    return 0;
}

bool IsIdentifier(const std::string& name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

}  // namespace

bool ParseSdccMap(const std::string& text, SymbolTable& symbols, std::string& error) {
    // An area starts with "NAME  ADDR  SIZE =  N. bytes (ATTRIBUTES)"; its
    // symbols follow as "[C:|D:]  VALUE  NAME  [MODULE]", all numbers eight
    // hexadecimal digits.
    static const std::regex area(R"(^(\S+)\s+([0-9A-Fa-f]{8})\s+([0-9A-Fa-f]{8})\s+=\s+\d+\.\s+bytes\s+\(([^)]*)\))");
    static const std::regex symbol(R"(^(?:([A-Z]):)?\s+([0-9A-Fa-f]{8})\s+(\S+))");
    struct Area {
        uint64_t end = 0;
        bool bits = false;
        std::vector<Symbol> symbols;
    };
    std::vector<Area> areas;
    const uint32_t code = SpaceNamed("CODE"), xdata = SpaceNamed("XDATA"), idata = SpaceNamed("IDATA");
    std::istringstream lines(text);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::regex_search(line, m, area)) {
            Area a;
            a.end = std::stoull(m[2].str(), nullptr, 16) + std::stoull(m[3].str(), nullptr, 16);
            a.bits = m[4].str().find("BIT") != std::string::npos;
            areas.push_back(std::move(a));
            continue;
        }
        if (areas.empty() || areas.back().bits || !std::regex_search(line, m, symbol)) continue;
        std::string name = m[3].str();
        const uint64_t value = std::stoull(m[2].str(), nullptr, 16);
        // C names carry an underscore. The linker's own s_/l_ symbols and
        // the compiler's $-names are left out; its __helpers (library
        // functions) too, but they still end the symbol before them.
        if (!IsIdentifier(name) || name.rfind("s_", 0) == 0 || name.rfind("l_", 0) == 0) continue;
        const bool keep = name.size() > 1 && name[0] == '_' && name[1] != '_';
        if (keep) name.erase(0, 1);
        const std::string prefix = m[1].str();
        const uint32_t space = prefix == "C" ? code : prefix == "D" ? xdata : prefix.empty() ? idata : 0;
        areas.back().symbols.push_back({keep ? name : std::string(), value, 0, space});
    }
    if (areas.empty()) {
        error = "not a linker map: no area in it";
        return false;
    }
    for (Area& a : areas) {
        std::sort(a.symbols.begin(), a.symbols.end(), [](const Symbol& x, const Symbol& y) { return x.address < y.address; });
        for (std::size_t i = 0; i < a.symbols.size(); ++i) {
            uint64_t next = a.end;
            for (std::size_t k = i + 1; k < a.symbols.size(); ++k)
                if (a.symbols[k].address > a.symbols[i].address) {
                    next = a.symbols[k].address;
                    break;
                }
            a.symbols[i].size = next > a.symbols[i].address ? next - a.symbols[i].address : 0;
            if (!a.symbols[i].name.empty()) symbols.Add(a.symbols[i]);
        }
    }
    return true;
}

bool LoadImageFile(const std::string& path, Image& image, std::string& error) {
    std::error_code status;
    if (std::filesystem::is_directory(path, status)) {
        error = path + " is a directory, not an image file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string contents;
    try {
        contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {  // a read error inside the stream buffer (a device, say)
        in.setstate(std::ios::badbit);
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    if (contents.size() >= 4 && contents.compare(0, 4, "\x7f" "ELF") == 0) return ReadElf(path, image, error);
    const std::size_t first = contents.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && contents[first] == ':') {
        if (!ParseIntelHex(contents, image, error)) {
            error = path + ": " + error;
            return false;
        }
        // sdcc's linker writes its map beside the image.
        const std::filesystem::path map = std::filesystem::path(path).replace_extension(".map");
        std::ifstream mapFile(map);
        if (mapFile) {
            std::ostringstream text;
            text << mapFile.rdbuf();
            std::string ignored;
            if (ParseSdccMap(text.str(), image.symbols, ignored))
                image.symbolSource = "the linker map " + map.filename().string();
        }
        return true;
    }
    error = path + " is neither an ELF file nor an Intel HEX file";
    return false;
}

}  // namespace orxdbg
