// In-memory editing of a multi-string list of event sources: names ended by
// a NUL each, and one more NUL after the last. A list is kept in units of
// the value it came from: UTF-16 code units for a string-typed value, bytes
// for any other, and is edited unit by unit, so that every other name keeps
// its units whatever its script. Nothing here reads outside the data's size
// or writes outside the buffer, whatever the data holds.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr DWORD kNoSourceEntry = 0xFFFFFFFF;

// A list over a buffer that its user sized and owns: the data's units, then
// room to grow. A size beyond the capacity (data that claims more than the
// buffer holds) is read only as far as the buffer and never edited.
template <typename Unit>
struct SourceListOf {
    Unit* buffer;
    DWORD capacity;  // units the buffer holds
    DWORD size;      // units of data, the final NUL included
};
using SourceList = SourceListOf<BYTE>;               // a value of no string type
using WideSourceList = SourceListOf<std::uint16_t>;  // REG_MULTI_SZ, REG_SZ, REG_EXPAND_SZ

// Units that appending name may add to a list: a NUL that ends an unended
// last entry, the name, its NUL and a final NUL.
constexpr DWORD SourceEntryRoom(DWORD nameLength) { return nameLength + 3; }

// Offset of the first entry equal to name (ASCII case ignored), or
// kNoSourceEntry. A last entry that the data ends without its NUL counts
// as an entry, as the registry reads it.
template <typename Unit>
DWORD FindSourceEntry(const SourceListOf<Unit>& list, const char* name);

// Adds name as the last entry. Data of size 0 counts as an empty list; a
// last entry without its NUL, or a list without its final NUL, keeps its
// units and is completed first. False, and nothing changed, when the result
// would not fit in the buffer (SourceEntryRoom units past the data always
// do).
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
