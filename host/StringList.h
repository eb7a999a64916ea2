// TStringList: an ordered list of 8-bit names, each with a 32-bit value.
// Duplicates are kept; lookups by value take the first match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

class TStringList {
public:
    struct Entry {
        std::string Name;
        int32_t Value;
    };

    void Clear() { entries_.clear(); }
    void Add(std::string name, int32_t value) { entries_.push_back({std::move(name), value}); }
    std::size_t Count() const { return entries_.size(); }
    const Entry& operator[](std::size_t index) const { return entries_[index]; }

    // The name of the first entry carrying the value.
    std::optional<std::string> FirstNameFor(int32_t value) const {
        for (const Entry& entry : entries_)
            if (entry.Value == value) return entry.Name;
        return std::nullopt;
    }

private:
    std::vector<Entry> entries_;
};

}  // namespace host
