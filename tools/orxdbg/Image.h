// Program images and symbols for the debugger: what `load` downloads and
// what the address arguments and the status display resolve names with.
//
// ELF files are read with libelf, 32-bit little-endian ARM ones only: every
// PT_LOAD segment with file contents, at its physical (load) address, plus
// the symbol table. Intel HEX files give data records only, merged into
// contiguous segments; the symbols of one that sdcc linked come from the
// linker's map beside it (the same name ending in .map).
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
    uint32_t space = 0;    // the memory space (the board's id) it lies in
};

class SymbolTable {
public:
    void Add(Symbol symbol);
    void Clear();
    bool Empty() const { return byName_.empty(); }

    const Symbol* Find(const std::string& name) const;
    std::vector<std::string> Names() const;
    // "name" or "name+0x12" for the symbol of that memory space that covers
    // the address (or, for symbols without a size, the nearest one at or
    // below it); empty when none does.
    std::string Describe(uint64_t address, uint32_t space = 0) const;
    // The innermost symbol with a size in that memory space that covers the
    // address; null when none does.
    const Symbol* Covering(uint64_t address, uint32_t space = 0) const;

private:
    std::map<std::string, Symbol> byName_;
    std::multimap<uint64_t, std::string> byAddress_;
};

struct Image {
    std::vector<Segment> segments;
    SymbolTable symbols;  // for Intel HEX, from the linker map beside it
    std::string symbolSource;  // "the ELF file", "the linker map z80.map"
    std::optional<uint64_t> entry;

    std::size_t ByteCount() const;
};

// Reads an ELF or Intel HEX file, chosen by its contents. False with a
// one-line reason in error.
bool LoadImageFile(const std::string& path, Image& image, std::string& error);
bool ReadElf(const std::string& path, Image& image, std::string& error);
bool ParseIntelHex(const std::string& text, Image& image, std::string& error);
// The global symbols of an sdcc (sdld) linker map, in the current board's
// memory spaces: code (C:), external RAM (D:) and the rest (internal RAM on
// the 8051); on a board without those spaces, all in space 0. C names lose
// their leading underscore. A symbol's size reaches to the next symbol of
// its area, or the area's end. False with a reason when the text holds no
// area.
bool ParseSdccMap(const std::string& text, SymbolTable& symbols, std::string& error);

}  // namespace orxdbg
