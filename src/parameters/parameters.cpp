#include "parameters/parameters.h"

#include "frontend/report.h"
#include "service/driver.h"

LONG CurrentVideoTimeout = 20000;

namespace {

constexpr char kVideoTimeout[] = "VideoTimeout";

}  // namespace

void ReadVideoTimeout(bool& found) {
    HKEY parameters = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_ALL_ACCESS, &parameters) != ERROR_SUCCESS) return;
    // A shorter stored value fills only the low bytes; the rest stay zero.
    BYTE data[4] = {0, 0, 0, 0};
    DWORD size = sizeof data;
    if (RegQueryValueExA(parameters, kVideoTimeout, nullptr, nullptr, data, &size) == ERROR_SUCCESS) {
        DWORD value = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
                      static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
        CurrentVideoTimeout = static_cast<LONG>(value);
        found = true;
    }
    RegCloseKey(parameters);
}

bool StoreVideoTimeout(HKEY parameters) {
    DWORD value = static_cast<DWORD>(CurrentVideoTimeout);
    return WriteRegistryValue(parameters, kVideoTimeout, REG_DWORD, &value, sizeof value,
                              "Failed to set HKLM KTRX VideoTimeout value");
}

bool ConfigureDriver() {
    HKEY parameters = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_ALL_ACCESS, &parameters);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to open HKLM KTRX key, driver not installed ?", static_cast<DWORD>(rc));
        return false;
    }
    bool ok = StoreVideoTimeout(parameters);
    RegCloseKey(parameters);
    return ok;
}
