// Arbitrary data and sizes through the three "Sources" list operations, as
// bytes and as UTF-16 units. Input: one byte that chooses the declared size
// (in units), then the data. Declared sizes run past the buffer too: no
// operation may read or write beyond it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "eventlog/sourcelist.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

template <typename Unit>
bool WellFormed(const SourceListOf<Unit>& list) {
    if (list.size == 1) return list.buffer[0] == 0;
    return list.size >= 2 && list.buffer[list.size - 1] == 0 && list.buffer[list.size - 2] == 0;
}

template <typename Unit>
void Exercise(const uint8_t* data, size_t size) {
    // Heap-allocated so that a read or write past the buffer is caught.
    auto list = std::make_unique<SourceListOf<Unit>>();
    size_t dataSize = (size - 1) / sizeof(Unit) < kSourceListCapacity ? (size - 1) / sizeof(Unit) : kSourceListCapacity;
    for (Unit& u : list->buffer) u = 'K';
    if (dataSize) std::memcpy(list->buffer, data + 1, dataSize * sizeof(Unit));
    // A declared size independent of the bytes given: up to the capacity,
    // the data's own size, or beyond the buffer.
    list->size = (static_cast<DWORD>(data[0]) * 17) % (kSourceListCapacity + 1);
    if (data[0] == 0xFF) list->size = static_cast<DWORD>(dataSize);
    if (data[0] >= 0xF0 && data[0] < 0xFF) list->size = kSourceListCapacity + (data[0] - 0xF0) * 1000 + 1;

    const auto before = std::make_unique<SourceListOf<Unit>>(*list);
    const char* name = "KTRX";

    if (list->size > kSourceListCapacity) {
        // More than the buffer holds: found only within it, never edited.
        DWORD found = FindSourceEntry(*list, name);
        Check(found == kNoSourceEntry || found + 4 <= kSourceListCapacity);
        if (found != kNoSourceEntry) RemoveSourceEntry(*list, found, name);
        Check(!AppendSourceEntry(*list, name));
        Check(list->size == before->size);
        Check(std::memcmp(list->buffer, before->buffer, sizeof list->buffer) == 0);
        return;
    }

    DWORD found = FindSourceEntry(*list, name);
    if (found != kNoSourceEntry) {
        // A match is a whole entry, ended by its NUL or by the data.
        Check(found + 4 <= list->size);
        bool ended = found + 4 < list->size;
        Check(!ended || list->buffer[found + 4] == 0);
        Check(found == 0 || list->buffer[found - 1] == 0);
        RemoveSourceEntry(*list, found, name);
        Check(list->size == before->size - (ended ? 5 : 4));
        Check(std::memcmp(list->buffer, before->buffer, found * sizeof(Unit)) == 0);
        Check(std::memcmp(list->buffer + found, before->buffer + found + 5, (list->size - found) * sizeof(Unit)) == 0);
        return;
    }

    bool wellFormed = WellFormed(*list);
    if (!AppendSourceEntry(*list, name)) {
        Check(list->size == before->size);
        Check(std::memcmp(list->buffer, before->buffer, sizeof list->buffer) == 0);
        return;
    }
    Check(list->size <= kSourceListCapacity);
    Check(list->buffer[list->size - 1] == 0 && list->buffer[list->size - 2] == 0);
    // Every byte of the existing entries is kept; only a final NUL is reused.
    DWORD kept = before->size == 0 ? 0 : (wellFormed ? before->size - 1 : before->size);
    Check(std::memcmp(list->buffer, before->buffer, kept * sizeof(Unit)) == 0);

    DWORD added = FindSourceEntry(*list, name);
    Check(added != kNoSourceEntry);
    RemoveSourceEntry(*list, added, name);
    if (wellFormed) {
        // Append then remove gives back the same bytes and size.
        Check(list->size == before->size);
        Check(std::memcmp(list->buffer, before->buffer, list->size * sizeof(Unit)) == 0);
    } else {
        Check(std::memcmp(list->buffer, before->buffer, kept * sizeof(Unit)) == 0);
    }
    return;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Exercise<BYTE>(data, size);
    Exercise<std::uint16_t>(data, size);
    return 0;
}
