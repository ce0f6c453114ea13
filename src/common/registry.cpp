#include "common/registry.h"

#include "common/report.h"

bool WriteRegistryValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size,
                        const char* failureMessage) {
    LONG rc = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS) {
        ReportError(failureMessage, static_cast<DWORD>(rc));
        return false;
    }
    return true;
}
