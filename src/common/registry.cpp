#include "common/registry.h"

#include "common/report.h"

namespace {

bool Written(LONG rc, const char* failureMessage) {
    if (rc == ERROR_SUCCESS) return true;
    ReportError(failureMessage, static_cast<DWORD>(rc));
    return false;
}

}  // namespace

bool WriteRegistryValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size,
                        const char* failureMessage) {
    return Written(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), failureMessage);
}

bool WriteRegistryValue(HKEY key, const WCHAR* name, DWORD type, const void* data, DWORD size,
                        const char* failureMessage) {
    return Written(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), failureMessage);
}
