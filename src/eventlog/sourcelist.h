// In-memory editing of a multi-string list of event sources: names ended by
// a NUL each, and one more NUL after the last. A list is kept in units of
// the value it came from: UTF-16 code units for a string-typed value, bytes
// for any other, and is edited unit by unit, so that every other name keeps
// its units whatever its script. Nothing here reads outside the data's size
// or writes outside the buffer, whatever the data holds.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Units a list can hold: characters of a string-typed value, bytes of any
// other.
inline constexpr DWORD kSourceListCapacity = 4096;
inline constexpr DWORD kNoSourceEntry = 0xFFFFFFFF;

// The buffer comes last, so that nothing past it belongs to the list.
template <typename Unit>
struct SourceListOf {
    DWORD size;  // units of data, the final NUL included
    Unit buffer[kSourceListCapacity];
};
using SourceList = SourceListOf<BYTE>;               // a value of no string type
using WideSourceList = SourceListOf<std::uint16_t>;  // REG_MULTI_SZ, REG_SZ, REG_EXPAND_SZ

// Offset of the first entry equal to name (ASCII case ignored), or
// kNoSourceEntry. A last entry that the data ends without its NUL counts
// as an entry, as the registry reads it.
template <typename Unit>
DWORD FindSourceEntry(const SourceListOf<Unit>& list, const char* name);

// Adds name as the last entry. Data of size 0 counts as an empty list; a
// last entry without its NUL, or a list without its final NUL, keeps its
// units and is completed first. False, and nothing changed, when the result
// would not fit in the buffer.
template <typename Unit>
bool AppendSourceEntry(SourceListOf<Unit>& list, const char* name);

// Removes the entry at offset, as FindSourceEntry gave it for name, with
// its NUL where it has one.
template <typename Unit>
void RemoveSourceEntry(SourceListOf<Unit>& list, DWORD offset, const char* name);

extern template DWORD FindSourceEntry(const SourceList&, const char*);
extern template DWORD FindSourceEntry(const WideSourceList&, const char*);
extern template bool AppendSourceEntry(SourceList&, const char*);
extern template bool AppendSourceEntry(WideSourceList&, const char*);
extern template void RemoveSourceEntry(SourceList&, DWORD, const char*);
extern template void RemoveSourceEntry(WideSourceList&, DWORD, const char*);
