#include "parameters/parameters.h"

#include "common/driver.h"
#include "common/registry.h"
#include "common/report.h"

LONG CurrentVideoTimeout = 20000;

namespace {

constexpr char kVideoTimeout[] = "VideoTimeout";

// VideoTimeout as a REG_DWORD holding the 32 bits of CurrentVideoTimeout.
bool StoreVideoTimeout(HKEY parameters) {
    DWORD value = static_cast<DWORD>(CurrentVideoTimeout);
    return WriteRegistryValue(parameters, kVideoTimeout, REG_DWORD, &value, sizeof value,
                              "Failed to set HKLM KTRX VideoTimeout value");
}

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

bool WriteParameters(HKEY serviceKey) {
    HKEY parameters = nullptr;
    char noClass[] = "";
    LONG rc = RegCreateKeyExA(serviceKey, kParametersSubkey, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &parameters, nullptr);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to create HKLM EventLog KTRX\\Parameters key", static_cast<DWORD>(rc));
        return false;
    }
    bool ok = StoreVideoTimeout(parameters);
    RegCloseKey(parameters);
    return ok;
}
