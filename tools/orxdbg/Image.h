// Program images and symbols for the debugger: what `load` downloads and
// what the address arguments and the status display resolve names with.
//
// ELF files are read with libelf, 32-bit little-endian ARM ones only: every
// PT_LOAD segment with file contents, at its physical (load) address, plus
// the symbol table. Intel HEX files give data records only, merged into
// contiguous segments.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orxdbg {

struct Segment {
    uint64_t address = 0;
    std::vector<uint8_t> bytes;
};

struct Symbol {
    std::string name;
    uint64_t address = 0;  // Thumb functions: the even instruction address
    uint64_t size = 0;
};

class SymbolTable {
public:
    void Add(Symbol symbol);
    void Clear();
    bool Empty() const { return byName_.empty(); }

    const Symbol* Find(const std::string& name) const;
    std::vector<std::string> Names() const;
    // "name" or "name+0x12" for the symbol that covers the address (or, for
    // symbols without a size, the nearest one at or below it); empty when
    // none does.
    std::string Describe(uint64_t address) const;
    // The innermost symbol with a size that covers the address; null when
    // none does.
    const Symbol* Covering(uint64_t address) const;

private:
    std::map<std::string, Symbol> byName_;
    std::multimap<uint64_t, std::string> byAddress_;
};

struct Image {
    std::vector<Segment> segments;
    SymbolTable symbols;  // empty for Intel HEX
    std::optional<uint64_t> entry;

    std::size_t ByteCount() const;
};

// Reads an ELF or Intel HEX file, chosen by its contents. False with a
// one-line reason in error.
bool LoadImageFile(const std::string& path, Image& image, std::string& error);
bool ReadElf(const std::string& path, Image& image, std::string& error);
bool ParseIntelHex(const std::string& text, Image& image, std::string& error);

}  // namespace orxdbg
