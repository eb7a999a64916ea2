#include "tools/common/Target.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gdi/GdiRecords.h"
#include "tools/orxdbg/Image.h"

namespace frontend {

using namespace gdi;

namespace {

constexpr uint32_t kMemorySpaceId = 0;
constexpr const char* kMemorySpaceName = "MEMORY";
constexpr uint32_t kDownloadBlockBytes = 1024;
constexpr uint32_t kWriteValues = 1024;

GdiAddress Address(uint64_t address) {
    GdiAddress a;
    StoreLE32(a.spaceId, kMemorySpaceId);
    for (int i = 0; i < 8; ++i) a.address[i] = static_cast<uint8_t>(address >> (56 - 8 * i));
    return a;
}

}  // namespace

std::optional<uint32_t> FirstRefused(uint32_t length, const std::function<bool(uint32_t, uint32_t)>& tryWrite) {
    // The first refused byte lies in [low, low + size).
    uint32_t low = 0, size = length;
    while (size > 1) {
        const uint32_t half = size / 2;
        if (tryWrite(low, half)) {
            low += half;
            size -= half;
        } else {
            size = half;
        }
    }
    if (size == 1 && !tryWrite(low, 1)) return low;
    return std::nullopt;
}

Target::Target(frontend::DiModule& module, const sim::Board& board)
    : module_(module),
      board_(board),
      pcId_(board.arch.RegisterIndex(sim::RegisterRole::Pc)),
      spId_(board.arch.RegisterIndex(sim::RegisterRole::Sp)) {
    for (std::size_t i = 0; i < board.arch.registers.size(); ++i) {
        const sim::BoardRegister& r = board.arch.registers[i];
        slots_.push_back({r.gdbName, r.name, r.gdbNumber, static_cast<int32_t>(i)});
    }
    std::stable_sort(slots_.begin(), slots_.end(),
                     [](const RegisterSlot& a, const RegisterSlot& b) { return a.gdbNumber < b.gdbNumber; });
}

bool Target::Open(const std::string& frontEndPath, const std::string& designator, frontend::PollFn poll,
                  std::string& error) {
    if (!OpenInstance(frontEndPath, designator, poll)) {
        error = "DiGdiOpen failed";
        return false;
    }
    std::vector<GdiMapEntry> registers(slots_.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        std::memset(&registers[i], 0, sizeof registers[i]);
        StorePointer(registers[i].name, slots_[i].mapName);
        StoreLE32(registers[i].id, static_cast<uint32_t>(slots_[i].id));
    }
    GdiMapEntry space;
    std::memset(&space, 0, sizeof space);
    StorePointer(space.name, kMemorySpaceName);
    StoreLE32(space.id, kMemorySpaceId);
    if (module_.DiGdiInitRegisterMap(static_cast<int32_t>(registers.size()), registers.data(), pcId_) != GdiOk ||
        module_.DiGdiInitMemorySpaceMap(1, &space) != GdiOk) {
        error = "the module refused the register or memory-space map";
        return false;
    }
    if (std::any_of(registers.begin(), registers.end(), [](const GdiMapEntry& e) { return e.accepted != 1; }) ||
        space.accepted != 1) {
        error = "the processor does not know every register of the map";
        return false;
    }
    return true;
}

bool Target::OpenInstance(const std::string& frontEndPath, const std::string& designator, frontend::PollFn poll) {
    const char* argv[] = {frontEndPath.c_str(), designator.c_str()};
    lastResult_ = module_.DiGdiOpen(0, 0, 2, argv, poll);
    open_ = lastResult_ == GdiOk;
    breakpoints_.clear();
    return open_;
}

bool Target::Close() {
    open_ = false;
    breakpoints_.clear();
    lastResult_ = module_.DiGdiClose(0);
    return lastResult_ == GdiOk;
}

std::optional<uint32_t> Target::ReadRegister(int32_t id) {
    GdiValue value;
    std::memset(&value, 0, sizeof value);
    if (module_.DiRegisterRead(id, &value) != GdiOk || LoadLE32(value.status) != ValueValid) return std::nullopt;
    return GatherWord(value);
}

void Target::WriteRegister(int32_t id, uint32_t value) {
    GdiValue record;
    std::memset(&record, 0, sizeof record);
    SpreadWord(record, value);
    module_.DiRegisterWrite(id, record);
}

std::vector<uint8_t> Target::ReadMemory(uint64_t address, uint32_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    std::vector<GdiValue> values;
    uint32_t chunk = readChunk_;
    while (bytes.size() < count) {
        const uint32_t n = std::min<uint32_t>(chunk, count - static_cast<uint32_t>(bytes.size()));
        values.resize(n);
        if (module_.DiMemoryRead(Address(address + bytes.size()), values.data(), n) != GdiOk) break;
        // A memory space delivers at most its transfer limit in one read;
        // the values beyond carry status 6 and are asked for again.
        uint32_t valid = 0;
        while (valid < n && LoadLE32(values[valid].status) == ValueValid) ++valid;
        if (valid == 0) {
            // A read that runs off the mapped memory fails as a whole: find
            // where the readable part ends with smaller reads.
            if (n == 1) break;
            chunk = n / 2;
            continue;
        }
        if (valid < n && chunk == readChunk_) readChunk_ = chunk = valid;
        for (uint32_t i = 0; i < valid; ++i) bytes.push_back(values[i].bytes[7]);
    }
    return bytes;
}

bool Target::WriteMemory(uint64_t address, const uint8_t* bytes, std::size_t count) {
    std::vector<GdiValue> values;
    for (std::size_t done = 0; done < count;) {
        // One byte per value, in its least significant byte.
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(kWriteValues, count - done));
        values.assign(n, GdiValue{});
        for (uint32_t i = 0; i < n; ++i) values[i].bytes[7] = bytes[done + i];
        if (module_.DiMemoryWrite(Address(address + done), values.data(), n) != GdiOk) return false;
        done += n;
    }
    return true;
}

namespace {
uint32_t DownloadStep(frontend::DiModule& module, uint32_t code, uint64_t address, uint32_t count,
                      const uint8_t* data) {
    GdiDownloadFormat f;
    StoreLE32(f.format, 0);
    StoreLE32(f.byteCount, count);
    f.start = Address(address);
    return module.DiMemoryDownload(0, code, f, data);
}
}  // namespace

bool Target::BeginDownload() { return (lastResult_ = DownloadStep(module_, 0, 0, 0, nullptr)) == GdiOk; }

bool Target::DownloadBlocks(uint64_t address, const uint8_t* bytes, std::size_t count, uint64_t* refused,
                            const std::function<void(std::size_t)>& progress) {
    for (std::size_t done = 0; done < count;) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(kDownloadBlockBytes, count - done));
        if ((lastResult_ = DownloadStep(module_, 1, address + done, n, bytes + done)) != GdiOk) {
            if (refused) {
                const uint64_t at = address + done;
                const auto first = FirstRefused(n, [&](uint32_t offset, uint32_t count) {
                    return DownloadStep(module_, 1, at + offset, count, bytes + done + offset) == GdiOk;
                });
                *refused = at + first.value_or(0);
            }
            return false;
        }
        done += n;
        if (progress) progress(n);
    }
    return true;
}

bool Target::DownloadImage(const std::string& file, std::string& error, std::size_t& bytes) {
    orxdbg::Image image;
    bytes = 0;
    entry_.reset();
    if (!orxdbg::LoadImageFile(file, image, error)) return false;
    if (!BeginDownload()) {
        error = "the target refused to start the download of " + file;
        return false;
    }
    for (const orxdbg::Segment& segment : image.segments) {
        uint64_t refused = segment.address;
        if (!DownloadBlocks(segment.address, segment.bytes.data(), segment.bytes.size(), &refused)) {
            AbortDownload();
            char text[160];
            std::snprintf(text, sizeof text, "the target refused address 0x%08llx of the segment 0x%08llx..0x%08llx",
                          static_cast<unsigned long long>(refused), static_cast<unsigned long long>(segment.address),
                          static_cast<unsigned long long>(segment.address + segment.bytes.size() - 1));
            error = file + ": " + text;
            return false;
        }
        bytes += segment.bytes.size();
    }
    if (!EndDownload()) {
        error = "the target refused to finish the download of " + file;
        return false;
    }
    entry_ = image.entry;
    return true;
}

bool Target::EndDownload() { return (lastResult_ = DownloadStep(module_, 2, 0, 0, nullptr)) == GdiOk; }

void Target::AbortDownload() { DownloadStep(module_, 3, 0, 0, nullptr); }

std::optional<uint32_t> Target::SetBreakpoint(uint64_t address) {
    GdiBreakpoint request;
    std::memset(&request, 0, sizeof request);
    StoreLE32(request.kind, 1);
    request.location = Address(address);
    StoreLE32(request.qualifier, board_.arch.breakpointQualifier);  // 2: a Thumb instruction
    GdiBreakpointResult result;
    std::memset(&result, 0, sizeof result);
    lastResult_ = module_.DiBreakpointSet(&result, request);
    if (lastResult_ != GdiOk) return std::nullopt;
    const uint32_t id = LoadLE32(result.breakpointId);
    breakpoints_[id] = address;
    return id;
}

bool Target::ClearBreakpoint(uint32_t id) {
    lastResult_ = module_.DiBreakpointClear(id);
    if (lastResult_ != GdiOk) return false;
    breakpoints_.erase(id);
    return true;
}

bool Target::HasBreakpointAt(uint64_t address) const {
    return std::any_of(breakpoints_.begin(), breakpoints_.end(), [&](const auto& b) { return b.second == address; });
}

RunOutcome Target::Continue() {
    cancelled_ = false;
    lastResult_ = module_.DiExecContinue();
    if (lastResult_ == GdiOk) return RunOutcome::Stopped;
    return cancelled_ ? RunOutcome::Cancelled : RunOutcome::Failed;
}

RunOutcome Target::Step(uint32_t count) {
    cancelled_ = false;
    lastResult_ = module_.DiExecSingleStep(count);
    if (lastResult_ == GdiOk) return RunOutcome::Stopped;
    return cancelled_ ? RunOutcome::Cancelled : RunOutcome::Failed;
}

void Target::Cancel() {
    cancelled_ = true;
    module_.DiGdiCancel();
}

bool Target::Stop() { return (lastResult_ = module_.DiExecStop()) == GdiOk; }

bool Target::Reset() {
    lastResult_ = module_.DiExecResetChild();
    if (lastResult_ != GdiOk) return false;
    if (board_.arch.reset != sim::ResetRule::ImageEntry || !entry_ || *entry_ > 0xFFFFFFFFu) return true;
    WriteRegister(pcId_, static_cast<uint32_t>(*entry_));
    return ReadRegister(pcId_) == static_cast<uint32_t>(*entry_);
}

std::optional<TargetStatus> Target::Status() {
    GdiExitStatus record;
    std::memset(&record, 0, sizeof record);
    lastResult_ = module_.DiExecGetStatus(&record);
    if (lastResult_ != GdiOk) return std::nullopt;
    TargetStatus status;
    status.cause = LoadLE32(record.cause);
    status.breakpointId = LoadLE32(record.breakpointId);
    const char* message;
    std::memcpy(&message, record.message, sizeof message);
    if (message) status.message = message;
    while (!status.message.empty() && (status.message.back() == '\n' || status.message.back() == '\r'))
        status.message.pop_back();
    return status;
}

}  // namespace frontend
