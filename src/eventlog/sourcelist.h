// In-memory editing of a multi-string list of event sources: names ended by
// a NUL each, and one more NUL after the last. Nothing here reads outside
// the data's size or writes outside the buffer, whatever the data holds.
#pragma once

#include "platform/platform.h"

inline constexpr DWORD kSourceListCapacity = 4096;
inline constexpr DWORD kNoSourceEntry = 0xFFFFFFFF;

// The buffer comes last, so that nothing past it belongs to the list.
struct SourceList {
    DWORD size;  // bytes of data, the final NUL included
    DWORD type;  // as the registry gave it; written back unchanged
    BYTE buffer[kSourceListCapacity];
};

// Offset of the first entry equal to name (ASCII case ignored), or
// kNoSourceEntry. A last entry that the data ends without its NUL counts
// as an entry, as the registry reads it.
DWORD FindSourceEntry(const SourceList& list, const char* name);

// Adds name as the last entry. Data of size 0 counts as an empty list; a
// last entry without its NUL, or a list without its final NUL, keeps its
// bytes and is completed first. False, and nothing changed, when the result
// would not fit in the buffer.
bool AppendSourceEntry(SourceList& list, const char* name);

// Removes the entry at offset, as FindSourceEntry gave it for name, with
// its NUL where it has one.
void RemoveSourceEntry(SourceList& list, DWORD offset, const char* name);
