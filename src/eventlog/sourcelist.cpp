#include "eventlog/sourcelist.h"

#include <cstring>

#include "common/ascii.h"

namespace {

bool EqualNoCase(const BYTE* entry, const char* name, DWORD length) {
    for (DWORD i = 0; i < length; ++i)
        if (FoldCase(static_cast<char>(entry[i])) != FoldCase(name[i])) return false;
    return true;
}

// Length of the entry at offset up to its NUL, or up to size, the end of
// the data within the buffer.
DWORD EntryLength(const SourceList& list, DWORD offset, DWORD size) {
    const void* end = std::memchr(list.buffer + offset, 0, size - offset);
    return end ? static_cast<DWORD>(static_cast<const BYTE*>(end) - (list.buffer + offset)) : size - offset;
}

}  // namespace

DWORD FindSourceEntry(const SourceList& list, const char* name) {
    DWORD nameLength = static_cast<DWORD>(std::strlen(name));
    DWORD size = list.size <= kSourceListCapacity ? list.size : kSourceListCapacity;
    for (DWORD offset = 0; offset < size;) {
        DWORD length = EntryLength(list, offset, size);
        if (length == nameLength && EqualNoCase(list.buffer + offset, name, length)) return offset;
        offset += length + 1;
    }
    return kNoSourceEntry;
}

bool AppendSourceEntry(SourceList& list, const char* name) {
    DWORD size = list.size;
    if (size > kSourceListCapacity) return false;
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
    if (newSize > kSourceListCapacity || newSize < at) return false;
    if (endLastEntry) list.buffer[at++] = 0;
    std::memcpy(list.buffer + at, name, nameLength);
    list.buffer[at + nameLength] = 0;
    list.buffer[at + nameLength + 1] = 0;
    list.size = newSize;
    return true;
}

void RemoveSourceEntry(SourceList& list, DWORD offset, const char* name) {
    if (list.size > kSourceListCapacity || offset >= list.size) return;
    // An entry that ends the data without its NUL takes only its letters.
    DWORD length = static_cast<DWORD>(std::strlen(name)) + 1;
    if (length > list.size - offset) length = list.size - offset;
    std::memmove(list.buffer + offset, list.buffer + offset + length, list.size - offset - length);
    list.size -= length;
}
