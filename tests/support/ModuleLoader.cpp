#include "tests/support/ModuleLoader.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace diorx_test {

const std::vector<std::string> ExportNames = {
    "DiGdiOpen", "DiGdiClose", "DiGdiGetFeatures", "DiGdiSetConfig", "DiGdiInitIO", "DiGdiInitRegisterMap",
    "DiGdiInitMemorySpaceMap", "DiGdiAddCallback", "DiGdiCancel", "DiGdiSynchronize", "DiDirectAddMenuItem",
    "DiDirectCommand", "DiDirectReadNoWait", "DiErrorGetMessage", "DiMemorySetMap", "DiMemoryGetMap",
    "DiMemorySetCpuMap", "DiMemoryGetCpuMap", "DiMemoryDownload", "DiMemoryWrite", "DiMemoryRead",
    "DiRegisterWrite", "DiRegisterRead", "DiRegisterClassCreate", "DiRegisterClassDelete", "DiRegisterClassWrite",
    "DiRegisterClassRead", "DiBreakpointSet", "DiBreakpointClear", "DiBreakpointClearAll", "DiExecResetChild",
    "DiExecSingleStep", "DiExecContinueUntil", "DiExecContinue", "DiExecContinueBackground", "DiExecGetStatus",
    "DiExecStop", "DiCommGetAcceptableSettings", "DiTraceSwitchOn", "DiTraceGetInstructions",
    "DiTracePrintRawInfo", "DiTraceGetNrOfNewFrames", "DiCoverageSwitchOn", "DiCoverageGetInfo",
    "DiProfilingSwitchOn", "DiProfileGetInfo", "DiStateOpen", "DiStateSave", "DiStateRestore", "DiStateClose",
    "DiMeeEnumExecEnv", "DiMeeConnect", "DiMeeGetFeatures", "DiMeeInitIO", "DiMeeSelect", "DiMeeDisconnect",
    "DiCpuSelect", "DiCpuCurrent", "DiGdiVersion", "DiProcess"};

std::string ModulePath(const std::string& fileName) { return platform::ExecutableDirectory() + "/" + fileName; }

namespace {
uint16_t U16(const std::vector<uint8_t>& f, std::size_t at) { return uint16_t(f.at(at) | f.at(at + 1) << 8); }
uint32_t U32(const std::vector<uint8_t>& f, std::size_t at) { return uint32_t(U16(f, at) | uint32_t(U16(f, at + 2)) << 16); }
}  // namespace

bool ReadPeExports(const std::string& path, PeExports& exports, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        if (f.size() < 0x40 || f[0] != 'M' || f[1] != 'Z') {
            error = "not a PE image";
            return false;
        }
        const std::size_t pe = U32(f, 0x3C);
        if (U32(f, pe) != 0x00004550) {
            error = "no PE signature";
            return false;
        }
        const std::size_t coff = pe + 4;
        const uint16_t sections = U16(f, coff + 2);
        const uint16_t optionalSize = U16(f, coff + 16);
        const std::size_t optional = coff + 20;
        exports.machine = U16(f, coff);
        // The data directories follow the optional header's fixed part, which
        // is 16 bytes longer in a 64-bit image (PE32+).
        std::size_t directories;
        switch (U16(f, optional)) {
            case 0x10B: directories = optional + 96; break;
            case 0x20B: directories = optional + 112; break;
            default:
                error = "unknown optional header";
                return false;
        }
        const uint32_t exportRva = U32(f, directories);
        const std::size_t sectionTable = optional + optionalSize;
        auto fileOffset = [&](uint32_t rva) -> std::size_t {
            for (uint16_t i = 0; i < sections; ++i) {
                const std::size_t s = sectionTable + 40u * i;
                const uint32_t va = U32(f, s + 12), size = std::max(U32(f, s + 8), U32(f, s + 16));
                if (rva >= va && rva < va + size) return rva - va + U32(f, s + 20);
            }
            throw std::out_of_range("rva outside every section");
        };
        auto text = [&](uint32_t rva) { return std::string(reinterpret_cast<const char*>(&f.at(fileOffset(rva)))); };
        const std::size_t dir = fileOffset(exportRva);
        exports.dllName = text(U32(f, dir + 12));
        const uint32_t base = U32(f, dir + 16), names = U32(f, dir + 24);
        const std::size_t nameTable = fileOffset(U32(f, dir + 32)), ordinalTable = fileOffset(U32(f, dir + 36));
        for (uint32_t i = 0; i < names; ++i)
            exports.entries.emplace_back(text(U32(f, nameTable + 4 * i)), base + U16(f, ordinalTable + 2 * i));
        if (const uint32_t importRva = U32(f, directories + 8)) {
            for (std::size_t d = fileOffset(importRva); U32(f, d + 12) != 0; d += 20)
                exports.importedLibraries.push_back(text(U32(f, d + 12)));
        }
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace diorx_test
