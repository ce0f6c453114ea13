#include "eventlog/eventlog.h"

#include "common/driver.h"
#include "common/registry.h"
#include "common/report.h"
#include "eventlog/sourcelist.h"

namespace {

constexpr char kSystemLogKey[] = "System\\CurrentControlSet\\Services\\EventLog\\System";
constexpr char kSources[] = "Sources";
constexpr char kMessageFiles[] = "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS";
constexpr DWORD kTypesSupported = 7;  // error, warning, information

LONG OpenSystemLog(HKEY& key) { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemLogKey, 0, KEY_ALL_ACCESS, &key); }

bool ReadSources(HKEY logKey, SourceList& list) {
    list.size = kSourceListCapacity;
    list.type = REG_NONE;
    LONG rc = RegQueryValueExA(logKey, kSources, nullptr, &list.type, list.buffer, &list.size);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to read HKLM EventLog Sources value", static_cast<DWORD>(rc));
        return false;
    }
    return true;
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
    SourceList list;
    if (!ReadSources(logKey, list)) return false;
    if (FindSourceEntry(list, kServiceName) != kNoSourceEntry) return true;
    if (!AppendSourceEntry(list, kServiceName)) {
        ReportError("Failed to add KTRX to EventLog sources value", ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return WriteRegistryValue(logKey, kSources, list.type, list.buffer, list.size,
                              "Failed to add KTRX to EventLog sources value");
}

void RemoveSourceName(HKEY logKey) {
    LONG rc = RegDeleteKeyA(logKey, kServiceName);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        ReportError("Failed to delete HKLM EventLog KTRX key", static_cast<DWORD>(rc));
        return;
    }
    SourceList list;
    if (!ReadSources(logKey, list)) return;
    DWORD offset = FindSourceEntry(list, kServiceName);
    if (offset == kNoSourceEntry) return;
    RemoveSourceEntry(list, offset, kServiceName);
    WriteRegistryValue(logKey, kSources, list.type, list.buffer, list.size,
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
