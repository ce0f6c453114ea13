// The stand-in service control manager, for kernel-driver services. A
// service's configuration also lives in the registry under
// SYSTEM\CurrentControlSet\Services\<name>, as Windows keeps it; a running
// driver offers the device \\.\<name>.
#include <cstring>

#include "internal.h"

namespace standin {

namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

constexpr DWORD kServicePauseContinue = 0x0040;
constexpr DWORD kServiceUserControl = 0x0100;
constexpr DWORD kReadControl = 0x00020000;

// Generic rights as the service manager maps them for a service object.
DWORD MapServiceAccess(DWORD access) {
    DWORD mapped = access & 0x0FFFFFFF;
    if (access & GENERIC_READ)
        mapped |= kReadControl | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | 0x0008;
    if (access & GENERIC_WRITE) mapped |= kReadControl | 0x0002;
    if (access & GENERIC_EXECUTE)
        mapped |= kReadControl | SERVICE_START | SERVICE_STOP | kServicePauseContinue | kServiceUserControl;
    return mapped;
}

// Generic rights as the service manager maps them for its own object.
DWORD MapManagerAccess(DWORD access) {
    DWORD mapped = access & 0x0FFFFFFF;
    if (access & GENERIC_READ) mapped |= kReadControl | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE) mapped |= kReadControl | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE) mapped |= kReadControl | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL) mapped |= SC_MANAGER_ALL_ACCESS;
    return mapped;
}

// What the service manager grants a caller who is not an administrator.
constexpr DWORD kUserManagerRights =
    kReadControl | SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;

void WriteServiceKey(const ServiceRecord& r) {
    std::string key = kServicesKey + r.name;
    PutDword(key, "Type", r.serviceType);
    PutDword(key, "Start", r.startType);
    PutDword(key, "ErrorControl", r.errorControl);
    auto text = [](const std::string& s) {
        return Utf16FromAnsi(std::vector<BYTE>(s.c_str(), s.c_str() + s.size() + 1));
    };
    PutValue(key, "ImagePath", REG_EXPAND_SZ, text(r.binaryPath));
    PutValue(key, "DisplayName", REG_SZ, text(r.displayName));
    if (!r.loadOrderGroup.empty()) PutValue(key, "Group", REG_SZ, text(r.loadOrderGroup));
}

void SetState(Service& s, DWORD state) {
    s.record.state = state;
    if (state == SERVICE_RUNNING)
        SetDevice(s.record.name, s.deviceRefuses ? DeviceState::Refuses : DeviceState::Opens);
    else if (state == SERVICE_STOPPED)
        SetDevice(s.record.name, DeviceState::Absent);
}

// A service marked for deletion goes once it is stopped and its last handle
// is closed, and its registry key goes with it.
void RemoveIfDone(const std::shared_ptr<Service>& s) {
    if (!s->record.markedForDelete || s->record.openHandles > 0 || s->record.state != SERVICE_STOPPED) return;
    auto it = M().services.find(s->record.name);
    if (it != M().services.end() && it->second == s) M().services.erase(it);
    RemoveKeyTree(kServicesKey + s->record.name);
}

SC_HANDLE NewServiceHandle(const std::shared_ptr<Service>& s, DWORD access) {
    auto* h = new SC_HANDLE__{false, s, MapServiceAccess(access)};
    ++s->record.openHandles;
    M().openServices.insert(h);
    return h;
}

bool IsManager(SC_HANDLE h) { return M().openServices.count(h) && h->manager; }
bool IsService(SC_HANDLE h) { return M().openServices.count(h) && !h->manager; }

void FillStatus(const Service& s, LPSERVICE_STATUS status) {
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = s.record.serviceType;
    status->dwCurrentState = s.record.state;
    status->dwControlsAccepted = s.record.state == SERVICE_RUNNING ? 0x5 : 0;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

}  // namespace

std::optional<ServiceRecord> GetService(const std::string& name) {
    auto it = M().services.find(name);
    if (it == M().services.end()) return std::nullopt;
    return it->second->record;
}

void AddService(const ServiceRecord& record) {
    auto s = std::make_shared<Service>();
    s->record = record;
    s->record.openHandles = 0;
    M().services[record.name] = s;
    WriteServiceKey(record);
    SetState(*s, record.state);
}

void SetServiceState(const std::string& name, DWORD state) { SetState(*M().services.at(name), state); }

void SetStopBehaviour(const std::string& name, StopBehaviour behaviour, int pendingInterrogations) {
    auto& s = M().services.at(name);
    s->stopBehaviour = behaviour;
    s->pendingInterrogations = pendingInterrogations;
}

void SetDeviceRefusesWhenRunning(const std::string& name, bool refuses) {
    auto& s = M().services.at(name);
    s->deviceRefuses = refuses;
    if (s->record.state == SERVICE_RUNNING) SetState(*s, SERVICE_RUNNING);
}

}  // namespace standin

using namespace standin;

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD dwDesiredAccess) {
    if (DWORD fault = Inject("OpenSCManagerA")) {
        SetLastError(fault);
        return nullptr;
    }
    DWORD access = MapManagerAccess(dwDesiredAccess);
    if (!CallerIsAdministrator() && (access & ~kUserManagerRights)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* h = new SC_HANDLE__{true, nullptr, access};
    M().openServices.insert(h);
    return h;
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR, LPCSTR, LPCSTR) {
    if (DWORD fault = Inject("CreateServiceA")) {
        SetLastError(fault);
        return nullptr;
    }
    if (!IsManager(hSCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(hSCManager->access & SC_MANAGER_CREATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName || !lpBinaryPathName || !*lpBinaryPathName || lpdwTagId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto it = M().services.find(lpServiceName);
    if (it != M().services.end()) {
        SetLastError(it->second->record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    ServiceRecord r;
    r.name = lpServiceName;
    r.displayName = lpDisplayName ? lpDisplayName : lpServiceName;
    r.binaryPath = lpBinaryPathName;
    r.loadOrderGroup = lpLoadOrderGroup ? lpLoadOrderGroup : "";
    r.serviceType = dwServiceType;
    r.startType = dwStartType;
    r.errorControl = dwErrorControl;
    AddService(r);
    return NewServiceHandle(M().services.at(lpServiceName), dwDesiredAccess);
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (DWORD fault = Inject("OpenServiceA")) {
        SetLastError(fault);
        return nullptr;
    }
    if (!IsManager(hSCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(hSCManager->access & SC_MANAGER_CONNECT)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto it = M().services.find(lpServiceName ? lpServiceName : "");
    if (it == M().services.end()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewServiceHandle(it->second, dwDesiredAccess);
}

BOOL StartServiceA(SC_HANDLE hService, DWORD, LPCSTR*) {
    if (DWORD fault = Inject("StartServiceA")) return Fail(fault);
    if (!IsService(hService)) return Fail(ERROR_INVALID_HANDLE);
    if (!(hService->access & SERVICE_START)) return Fail(ERROR_ACCESS_DENIED);
    Service& s = *hService->service;
    if (s.record.markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (s.record.state != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    // Windows answers a missing image with ERROR_FILE_NOT_FOUND (Wine with 1114).
    if (!M().files.count(s.record.binaryPath)) return Fail(ERROR_FILE_NOT_FOUND);
    SetState(s, SERVICE_RUNNING);
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    if (DWORD fault = Inject("ControlService")) return Fail(fault);
    if (!IsService(hService)) return Fail(ERROR_INVALID_HANDLE);
    Service& s = *hService->service;
    if (dwControl == SERVICE_CONTROL_STOP) {
        if (!(hService->access & SERVICE_STOP)) return Fail(ERROR_ACCESS_DENIED);
        FillStatus(s, lpServiceStatus);
        if (s.record.state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
        if (s.record.state == SERVICE_RUNNING) {
            if (s.stopBehaviour == StopBehaviour::Stops) {
                SetState(s, SERVICE_STOPPED);
                FillStatus(s, lpServiceStatus);
                return TRUE;
            }
            if (s.stopBehaviour == StopBehaviour::Pending) SetState(s, SERVICE_STOP_PENDING);
        }
        FillStatus(s, lpServiceStatus);
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    if (dwControl == SERVICE_CONTROL_INTERROGATE) {
        if (!(hService->access & SERVICE_INTERROGATE)) return Fail(ERROR_ACCESS_DENIED);
        if (s.record.state == SERVICE_STOP_PENDING && --s.pendingInterrogations <= 0) SetState(s, SERVICE_STOPPED);
        FillStatus(s, lpServiceStatus);
        if (s.record.state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
        if (s.record.state != SERVICE_RUNNING) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return TRUE;
    }
    return Fail(ERROR_INVALID_PARAMETER);
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    if (DWORD fault = Inject("QueryServiceStatus")) return Fail(fault);
    if (!IsService(hService)) return Fail(ERROR_INVALID_HANDLE);
    if (!(hService->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
    FillStatus(*hService->service, lpServiceStatus);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    if (DWORD fault = Inject("DeleteService")) return Fail(fault);
    if (!IsService(hService)) return Fail(ERROR_INVALID_HANDLE);
    if (!(hService->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
    Service& s = *hService->service;
    if (s.record.markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    s.record.markedForDelete = true;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    Log("CloseServiceHandle");
    if (M().openServices.erase(hSCObject) == 0) return Fail(ERROR_INVALID_HANDLE);
    if (auto s = hSCObject->service) {
        --s->record.openHandles;
        RemoveIfDone(s);
    }
    delete hSCObject;
    return TRUE;
}
