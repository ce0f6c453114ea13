// Stop and removal of the driver.
#include "common/driver.h"
#include "common/report.h"
#include "eventlog/eventlog.h"
#include "service/service.h"

namespace {

constexpr int kStopPolls = 5;
constexpr DWORD kStopPollMilliseconds = 1000;

// Asks the driver to stop. When the request fails while a stop is under
// way, waits for it, interrogating at most kStopPolls times.
void StopDriver(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) return;
    for (int polls = 0; status.dwCurrentState == SERVICE_STOP_PENDING && polls < kStopPolls; ++polls) {
        Sleep(kStopPollMilliseconds);
        status.dwCurrentState = 0;
        ControlService(service, SERVICE_CONTROL_INTERROGATE, &status);
    }
}

// A driver that did not stop (it cannot unload, or its device would not
// open, so no stop was sent) keeps running with its service only marked for
// deletion: say so, since the removal completes only when it stops.
void SayIfStillRunning(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED)
        PrintProgress("%s is still running: its removal completes when it stops or the system restarts\n",
                      kDisplayName);
}

bool DeleteDriverService(SC_HANDLE service) {
    if (DeleteService(service)) {
        PrintProgress("%s removed\n", kDisplayName);
        SayIfStillRunning(service);
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
        ReportError("Attempt to delete KTRX, service marked for delete.\nPlease restart the system.", 0);
    else if (error != ERROR_SERVICE_DOES_NOT_EXIST)
        ReportError("Failed to delete KTRX service", error);
    return false;
}

}  // namespace

bool RemoveDriver(SC_HANDLE manager) {
    SC_HANDLE service = OpenDriverService(manager, SERVICE_ALL_ACCESS);
    if (!service) return false;
    if (IsDriverRunning()) StopDriver(service);
    RemoveEventLogSource();
    bool deleted = DeleteDriverService(service);
    CloseServiceHandle(service);
    return deleted;
}
