#include "eventlog/sourcelist.h"

#include <cstring>

#include "common/ascii.h"

namespace {

// Units compared as units: a UTF-16 unit above 0xFF never equals a letter.
template <typename Unit>
bool EqualNoCase(const Unit* entry, const char* name, DWORD length) {
    for (DWORD i = 0; i < length; ++i)
        if (FoldCase(static_cast<std::uint32_t>(entry[i])) !=
            FoldCase(static_cast<std::uint32_t>(static_cast<unsigned char>(name[i]))))
            return false;
    return true;
}

// Length of the entry at offset up to its NUL, or up to size, the end of
// the data within the buffer.
template <typename Unit>
DWORD EntryLength(const SourceListOf<Unit>& list, DWORD offset, DWORD size) {
    DWORD length = 0;
    while (offset + length < size && list.buffer[offset + length] != 0) ++length;
    return length;
}

}  // namespace

template <typename Unit>
DWORD FindSourceEntry(const SourceListOf<Unit>& list, const char* name) {
    DWORD nameLength = static_cast<DWORD>(std::strlen(name));
    DWORD size = list.size <= list.capacity ? list.size : list.capacity;
    for (DWORD offset = 0; offset < size;) {
        DWORD length = EntryLength(list, offset, size);
        if (length == nameLength && EqualNoCase(list.buffer + offset, name, length)) return offset;
        offset += length + 1;
    }
    return kNoSourceEntry;
}

template <typename Unit>
bool AppendSourceEntry(SourceListOf<Unit>& list, const char* name) {
    DWORD size = list.size;
    if (size > list.capacity) return false;
    // Where the new entry starts: over the final NUL of a well-formed list,
    // after the data otherwise, with a NUL first to end an unended last entry.
    DWORD at = size;
    bool endLastEntry = false;
    if (size == 1 && list.buffer[0] == 0)
        at = 0;
    else if (size >= 2 && list.buffer[size - 1] == 0 && list.buffer[size - 2] == 0)
        at = size - 1;
    else if (size >= 1 && list.buffer[size - 1] != 0)
        endLastEntry = true;
    DWORD nameLength = static_cast<DWORD>(std::strlen(name));
    DWORD newSize = at + (endLastEntry ? 1 : 0) + nameLength + 2;
    if (newSize > list.capacity || newSize < at) return false;
    if (endLastEntry) list.buffer[at++] = 0;
    for (DWORD i = 0; i < nameLength; ++i) list.buffer[at + i] = static_cast<Unit>(static_cast<unsigned char>(name[i]));
    list.buffer[at + nameLength] = 0;
    list.buffer[at + nameLength + 1] = 0;
    list.size = newSize;
    return true;
}

template <typename Unit>
void RemoveSourceEntry(SourceListOf<Unit>& list, DWORD offset, const char* name) {
    if (list.size > list.capacity || offset >= list.size) return;
    // An entry that ends the data without its NUL takes only its letters.
    DWORD length = static_cast<DWORD>(std::strlen(name)) + 1;
    if (length > list.size - offset) length = list.size - offset;
    std::memmove(list.buffer + offset, list.buffer + offset + length, (list.size - offset - length) * sizeof(Unit));
    list.size -= length;
}

template DWORD FindSourceEntry(const SourceList&, const char*);
template DWORD FindSourceEntry(const WideSourceList&, const char*);
template bool AppendSourceEntry(SourceList&, const char*);
template bool AppendSourceEntry(WideSourceList&, const char*);
template void RemoveSourceEntry(SourceList&, DWORD, const char*);
template void RemoveSourceEntry(WideSourceList&, DWORD, const char*);
