#include "eventlog/eventlog.h"

#include <cstring>

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

// "Sources" as stored: its type and its bytes. A string-typed value can
// hold the capacity in UTF-16 units and an odd byte after them.
struct StoredSources {
    DWORD type;
    DWORD size;  // bytes
    BYTE bytes[kSourceListCapacity * 2 + 1];
};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool ReadSources(HKEY logKey, StoredSources& stored) {
    stored.size = sizeof stored.bytes;
    stored.type = REG_NONE;
    LONG rc = RegQueryValueExW(logKey, kSources, nullptr, &stored.type, stored.bytes, &stored.size);
    // The capacity counts characters for a string type, bytes for any other.
    if (rc == ERROR_SUCCESS && !IsStringType(stored.type) && stored.size > kSourceListCapacity) rc = ERROR_MORE_DATA;
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to read HKLM EventLog Sources value", static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

enum class SourcesEdit { AddKtrx, RemoveKtrx };
enum class EditResult { Unchanged, Changed, NoRoom };

// Adds or removes the driver's entry, editing the list in the units of its
// type. A byte that a string value has beyond its last whole unit stays last.
template <typename Unit>
EditResult EditSources(StoredSources& stored, SourcesEdit edit) {
    SourceListOf<Unit> list;
    const DWORD odd = stored.size % sizeof(Unit);
    list.size = stored.size / sizeof(Unit);
    std::memcpy(list.buffer, stored.bytes, list.size * sizeof(Unit));
    DWORD found = FindSourceEntry(list, kServiceName);
    if (edit == SourcesEdit::AddKtrx) {
        if (found != kNoSourceEntry) return EditResult::Unchanged;
        if (!AppendSourceEntry(list, kServiceName)) return EditResult::NoRoom;
    } else {
        if (found == kNoSourceEntry) return EditResult::Unchanged;
        RemoveSourceEntry(list, found, kServiceName);
    }
    const BYTE oddByte = odd ? stored.bytes[stored.size - 1] : 0;
    std::memcpy(stored.bytes, list.buffer, list.size * sizeof(Unit));
    if (odd) stored.bytes[list.size * sizeof(Unit)] = oddByte;
    stored.size = list.size * static_cast<DWORD>(sizeof(Unit)) + odd;
    return EditResult::Changed;
}

EditResult EditSources(StoredSources& stored, SourcesEdit edit) {
    return IsStringType(stored.type) ? EditSources<std::uint16_t>(stored, edit) : EditSources<BYTE>(stored, edit);
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

bool AddSourceName(HKEY logKey) {
    StoredSources stored;
    if (!ReadSources(logKey, stored)) return false;
    switch (EditSources(stored, SourcesEdit::AddKtrx)) {
    case EditResult::Unchanged:
        return true;
    case EditResult::NoRoom:
        ReportError("Failed to add KTRX to EventLog sources value", ERROR_INSUFFICIENT_BUFFER);
        return false;
    case EditResult::Changed:
        break;
    }
    return WriteRegistryValue(logKey, kSources, stored.type, stored.bytes, stored.size,
                              "Failed to add KTRX to EventLog sources value");
}

void RemoveSourceName(HKEY logKey) {
    LONG rc = RegDeleteKeyA(logKey, kServiceName);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        ReportError("Failed to delete HKLM EventLog KTRX key", static_cast<DWORD>(rc));
        return;
    }
    StoredSources stored;
    if (!ReadSources(logKey, stored)) return;
    if (EditSources(stored, SourcesEdit::RemoveKtrx) == EditResult::Changed)
        WriteRegistryValue(logKey, kSources, stored.type, stored.bytes, stored.size,
                           "Failed to set HKLM EventLog Sources value");
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
    bool ok = WriteSourceKey(logKey) && AddSourceName(logKey);
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
