#include "eventlog/eventlog.h"

#include <cstdint>

#include "common/driver.h"
#include "common/registry.h"
#include "common/report.h"
#include "eventlog/sourcelist.h"

namespace {

constexpr char kSystemLogKey[] = "System\\CurrentControlSet\\Services\\EventLog\\System";
// "Sources" is read and written through the W functions: the A functions
// would pass string data through the ANSI code page and write other
// products' names outside it back as '?'.
constexpr WCHAR kSources[] = {'S', 'o', 'u', 'r', 'c', 'e', 's', 0};
constexpr char kMessageFiles[] = "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS";
constexpr DWORD kTypesSupported = 7;  // error, warning, information

LONG OpenSystemLog(HKEY& key) { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemLogKey, 0, KEY_ALL_ACCESS, &key); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

enum class SourcesEdit { AddKtrx, RemoveKtrx };
enum class EditResult { Unchanged, Changed, NoRoom };

// Adds or removes the driver's entry in "Sources" as read into bytes (size
// bytes of data in a buffer of room bytes), in the units of its type,
// where it lies. A byte that a string value has beyond its last whole unit
// stays last.
template <typename Unit>
EditResult EditSources(BYTE* bytes, DWORD& size, DWORD room, SourcesEdit edit) {
    const DWORD odd = size % sizeof(Unit);
    const BYTE oddByte = odd ? bytes[size - 1] : 0;
    // The buffer comes from LocalAlloc, aligned for any unit.
    SourceListOf<Unit> list = {reinterpret_cast<Unit*>(bytes), static_cast<DWORD>((room - odd) / sizeof(Unit)),
                               static_cast<DWORD>(size / sizeof(Unit))};
    DWORD found = FindSourceEntry(list, kServiceName);
    if (edit == SourcesEdit::AddKtrx) {
        if (found != kNoSourceEntry) return EditResult::Unchanged;
        if (!AppendSourceEntry(list, kServiceName)) return EditResult::NoRoom;
    } else {
        if (found == kNoSourceEntry) return EditResult::Unchanged;
        RemoveSourceEntry(list, found, kServiceName);
    }
    if (odd) bytes[list.size * sizeof(Unit)] = oddByte;
    size = list.size * static_cast<DWORD>(sizeof(Unit)) + odd;
    return EditResult::Changed;
}

// Edits "Sources" as read and writes it back, with the type it was read
// with, when the edit changed it.
bool EditAndWriteSources(HKEY logKey, DWORD type, BYTE* bytes, DWORD size, DWORD room, SourcesEdit edit) {
    const EditResult result = IsStringType(type) ? EditSources<std::uint16_t>(bytes, size, room, edit)
                                                 : EditSources<BYTE>(bytes, size, room, edit);
    const char* failure = edit == SourcesEdit::AddKtrx ? "Failed to add KTRX to EventLog sources value"
                                                       : "Failed to set HKLM EventLog Sources value";
    switch (result) {
    case EditResult::Unchanged:
        return true;
    case EditResult::NoRoom:
        ReportError(failure, ERROR_INSUFFICIENT_BUFFER);
        return false;
    case EditResult::Changed:
        break;
    }
    return WriteRegistryValue(logKey, kSources, type, bytes, size, failure);
}

// Bytes past the value for the driver's entry, in UTF-16 units whatever
// the type, and an odd byte's worth of alignment.
constexpr DWORD kEntryRoom = SourceEntryRoom(sizeof kServiceName - 1) * sizeof(std::uint16_t) + 1;
// Reads of a value that grows between its size and its data (the event-log
// service or another installer rewriting it) before the read counts as
// failed.
constexpr int kSourcesReads = 4;

// Reads "Sources" at the size it has, into a buffer with room for the
// driver's entry, edits it and writes it back. The value is never created:
// without it, the read fails.
bool UpdateSources(HKEY logKey, SourcesEdit edit) {
    for (int read = 1;; ++read) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        LONG rc = RegQueryValueExW(logKey, kSources, nullptr, &type, nullptr, &size);
        if (rc == ERROR_SUCCESS && size > 0xFFFFFFFF - kEntryRoom) rc = ERROR_NOT_ENOUGH_MEMORY;
        BYTE* bytes = nullptr;
        DWORD room = size + kEntryRoom;
        if (rc == ERROR_SUCCESS) {
            bytes = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, room));
            if (!bytes) rc = static_cast<LONG>(GetLastError());
        }
        // Read no more than the size just learnt: a value that has grown
        // since gives ERROR_MORE_DATA, and the room stays for the entry.
        if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(logKey, kSources, nullptr, &type, bytes, &size);
        bool ok = false;
        if (rc == ERROR_SUCCESS)
            ok = EditAndWriteSources(logKey, type, bytes, size, room, edit);
        else if (rc != ERROR_MORE_DATA || read == kSourcesReads)
            ReportError("Failed to read HKLM EventLog Sources value", static_cast<DWORD>(rc));
        LocalFree(bytes);
        if (rc != ERROR_MORE_DATA || read == kSourcesReads) return ok;
    }
}

bool WriteSourceKey(HKEY logKey) {
    HKEY sourceKey = nullptr;
    char noClass[] = "";
    LONG rc = RegCreateKeyExA(logKey, kServiceName, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &sourceKey, nullptr);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to create HKLM EventLog KTRX key", static_cast<DWORD>(rc));
        return false;
    }
    bool ok = WriteRegistryValue(sourceKey, "EventMessageFile", REG_EXPAND_SZ, kMessageFiles, sizeof kMessageFiles,
                                 "Failed to set HKLM EventLog KTRX EventMessageFile value") &&
              WriteRegistryValue(sourceKey, "TypesSupported", REG_DWORD, &kTypesSupported, sizeof kTypesSupported,
                                 "Failed to set HKLM EventLog KTRX TypesSupported value");
    RegCloseKey(sourceKey);
    return ok;
}

void RemoveSourceName(HKEY logKey) {
    LONG rc = RegDeleteKeyA(logKey, kServiceName);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        ReportError("Failed to delete HKLM EventLog KTRX key", static_cast<DWORD>(rc));
        return;
    }
    UpdateSources(logKey, SourcesEdit::RemoveKtrx);
}

}  // namespace

bool AddEventLogSource() {
    PrintProgress("Adding event logging capabilities\n");
    HKEY logKey = nullptr;
    LONG rc = OpenSystemLog(logKey);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to open HKLM EventLog key", static_cast<DWORD>(rc));
        return false;
    }
    bool ok = WriteSourceKey(logKey) && UpdateSources(logKey, SourcesEdit::AddKtrx);
    RegCloseKey(logKey);
    return ok;
}

void RemoveEventLogSource() {
    HKEY logKey = nullptr;
    LONG rc = OpenSystemLog(logKey);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to open HKLM EventLog key", static_cast<DWORD>(rc));
        return;
    }
    RemoveSourceName(logKey);
    RegCloseKey(logKey);
}
