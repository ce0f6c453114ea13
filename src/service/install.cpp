// Installation and start of the driver, and the two steps that the removal
// shares: opening the service and probing the device.
#include <cstring>

#include "common/driver.h"
#include "common/report.h"
#include "eventlog/eventlog.h"
#include "parameters/parameters.h"
#include "service/service.h"

namespace {

constexpr DWORD kImagePathSize = 360;

// The system directory followed by \DRIVERS\KTRX.SYS.
bool BuildImagePath(char (&path)[kImagePathSize]) {
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        ReportError("Failed to read the system directory", length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::memcpy(path + length, kImageSuffix, sizeof kImageSuffix);
    return true;
}

// Creates the service; an existing one is kept as it is.
bool RegisterService(SC_HANDLE manager) {
    char imagePath[kImagePathSize];
    if (!BuildImagePath(imagePath)) return false;
    SC_HANDLE service = CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath, kLoadOrderGroup, nullptr,
                                       nullptr, nullptr, nullptr);
    if (service) {
        CloseServiceHandle(service);
        return true;
    }
    DWORD error = GetLastError();
    switch (error) {
    case ERROR_SERVICE_MARKED_FOR_DELETE:
        ReportError("Attempt to install driver, service marked for delete.\nPlease restart the system.", 0);
        return false;
    case ERROR_SERVICE_EXISTS:
        ReportError("Attempt to install driver, driver already installed", 0);
        return true;
    default:
        ReportError("Failed to Create Service", error);
        return false;
    }
}

bool WriteDriverKeys() {
    HKEY serviceKey = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &serviceKey);
    if (rc != ERROR_SUCCESS) {
        ReportError("Failed to open HKLM KTRX key", static_cast<DWORD>(rc));
        return false;
    }
    bool ok = WriteParameters(serviceKey);
    RegCloseKey(serviceKey);
    return ok;
}

}  // namespace

bool InstallDriver(SC_HANDLE manager) {
    if (!RegisterService(manager)) return false;
    PrintProgress("Adding driver keys to registry\n");
    if (!WriteDriverKeys()) return false;
    if (!AddEventLogSource()) return false;
    PrintProgress("%s successfully installed\n", kDisplayName);
    // A start that fails has said so in its own box; the installation stands.
    StartDriver(manager);
    return true;
}

bool IsDriverRunning() {
    HANDLE device = CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

SC_HANDLE OpenDriverService(SC_HANDLE manager, DWORD access) {
    SC_HANDLE service = OpenServiceA(manager, kServiceName, access);
    if (service) return service;
    DWORD error = GetLastError();
    switch (error) {
    case ERROR_SERVICE_DOES_NOT_EXIST:
        PrintProgress("KTRX driver not installed\n");
        break;
    case ERROR_SERVICE_MARKED_FOR_DELETE:
        ReportError("Attempt to open service, service is marked for delete.\nPlease restart the system.", 0);
        break;
    default:
        ReportError("Failed to open Service", error);
        break;
    }
    return nullptr;
}

bool StartDriver(SC_HANDLE manager) {
    if (IsDriverRunning()) {
        PrintProgress("%s is already running\n", kDisplayName);
        return true;
    }
    SC_HANDLE service = OpenDriverService(manager, GENERIC_EXECUTE);
    if (!service) return false;
    bool started = StartServiceA(service, 0, nullptr) != FALSE;
    if (started) {
        PrintProgress("\nStartService SUCCESS\n");
        PrintProgress("%s started\n", kDisplayName);
    } else {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
            ReportError("Attempt to start driver, service marked for delete.\nPlease restart the system.", 0);
        else
            ReportError("Failed to start driver", error);
    }
    CloseServiceHandle(service);
    return started;
}
