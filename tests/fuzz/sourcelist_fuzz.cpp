// Arbitrary data and sizes through the three "Sources" list operations, as
// bytes and as UTF-16 units. Input: one byte that chooses the declared size
// (in units) and the room past the data, one that repeats the data (up to
// a list of a few hundred kilobytes), then the data. Declared sizes run
// past the buffer too: no operation may read or write beyond it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "eventlog/sourcelist.h"

namespace {

constexpr size_t kLargestList = 320 * 1024;  // bytes

void Check(bool condition) {
    if (!condition) std::abort();
}

// Units compared as memcmp does, none always equal.
template <typename Unit>
bool Same(const Unit* a, const Unit* b, size_t units) {
    return units == 0 || std::memcmp(a, b, units * sizeof(Unit)) == 0;
}

template <typename Unit>
bool WellFormed(const SourceListOf<Unit>& list) {
    if (list.size == 1) return list.buffer[0] == 0;
    return list.size >= 2 && list.buffer[list.size - 1] == 0 && list.buffer[list.size - 2] == 0;
}

template <typename Unit>
void Exercise(const uint8_t* data, size_t size) {
    const size_t repeats = std::max<size_t>(data[1], 1);
    const size_t given = std::min((size - 2) * repeats, kLargestList) / sizeof(Unit);
    // The buffer as the tool sizes it, the data and room for one entry, or
    // with less room; allocated to the unit, so that ASan sees past it.
    const DWORD room = (data[0] & 1) ? SourceEntryRoom(4) : data[0] % 5;
    const auto capacity = static_cast<DWORD>(given + room);
    std::unique_ptr<Unit[]> buffer(new Unit[capacity ? capacity : 1]);
    for (DWORD i = 0; i < capacity; ++i) buffer[i] = 'K';
    for (size_t i = 0; i < given * sizeof(Unit); ++i)
        reinterpret_cast<uint8_t*>(buffer.get())[i] = data[2 + i % (size - 2)];
    SourceListOf<Unit> list = {buffer.get(), capacity, 0};
    // A declared size independent of the bytes given: up to the capacity,
    // the data's own size, or beyond the buffer.
    list.size = (static_cast<DWORD>(data[0]) * 17) % (capacity + 1);
    if (data[0] == 0xFF) list.size = static_cast<DWORD>(given);
    if (data[0] >= 0xF0 && data[0] < 0xFF) list.size = capacity + (data[0] - 0xF0) * 1000 + 1;

    const std::vector<Unit> beforeUnits(buffer.get(), buffer.get() + capacity);
    const SourceListOf<Unit> before = {const_cast<Unit*>(beforeUnits.data()), capacity, list.size};
    const char* name = "KTRX";

    if (list.size > capacity) {
        // More than the buffer holds: found only within it, never edited.
        DWORD found = FindSourceEntry(list, name);
        Check(found == kNoSourceEntry || found + 4 <= capacity);
        if (found != kNoSourceEntry) RemoveSourceEntry(list, found, name);
        Check(!AppendSourceEntry(list, name));
        Check(list.size == before.size);
        Check(Same(list.buffer, before.buffer, capacity));
        return;
    }

    DWORD found = FindSourceEntry(list, name);
    if (found != kNoSourceEntry) {
        // A match is a whole entry, ended by its NUL or by the data.
        Check(found + 4 <= list.size);
        bool ended = found + 4 < list.size;
        Check(!ended || list.buffer[found + 4] == 0);
        Check(found == 0 || list.buffer[found - 1] == 0);
        RemoveSourceEntry(list, found, name);
        Check(list.size == before.size - (ended ? 5 : 4));
        Check(Same(list.buffer, before.buffer, found));
        Check(Same(list.buffer + found, before.buffer + found + 5, list.size - found));
        return;
    }

    bool wellFormed = WellFormed(list);
    if (!AppendSourceEntry(list, name)) {
        // The room the tool leaves is always enough.
        Check(list.size + SourceEntryRoom(4) > capacity);
        Check(list.size == before.size);
        Check(Same(list.buffer, before.buffer, capacity));
        return;
    }
    Check(list.size <= capacity);
    Check(list.buffer[list.size - 1] == 0 && list.buffer[list.size - 2] == 0);
    // Every byte of the existing entries is kept; only a final NUL is reused.
    DWORD kept = before.size == 0 ? 0 : (wellFormed ? before.size - 1 : before.size);
    Check(Same(list.buffer, before.buffer, kept));

    DWORD added = FindSourceEntry(list, name);
    Check(added != kNoSourceEntry);
    RemoveSourceEntry(list, added, name);
    if (wellFormed) {
        // Append then remove gives back the same bytes and size.
        Check(list.size == before.size);
        Check(Same(list.buffer, before.buffer, list.size));
    } else {
        Check(Same(list.buffer, before.buffer, kept));
    }
    return;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    Exercise<BYTE>(data, size);
    Exercise<std::uint16_t>(data, size);
    return 0;
}
