// The installation lock: a global mutex that serializes the runs that change
// something, so that two overlapping runs (a retried deployment, two agents,
// a double click) cannot tear each other's work apart.
#include "common/adminlock.h"
#include "common/report.h"
#include "frontend/frontend.h"

namespace {

constexpr char kLockName[] = "Global\\DURUVUDE-KTRX";
constexpr DWORD kLockWaitMilliseconds = 60000;

}  // namespace

LockResult TakeInstallationLock(HANDLE& lock) {
    lock = OpenAdministratorsMutex(kLockName);
    if (lock) {
        const DWORD wait = TakeAdministratorsMutex(
            lock, kLockWaitMilliseconds, [] { PrintProgress("Waiting for another DURUVUDE run to finish\n"); });
        if (wait == WAIT_OBJECT_0) return LockResult::Taken;
        CloseHandle(lock);
        lock = nullptr;
        if (wait == WAIT_TIMEOUT) {
            ReportError("Another DURUVUDE run did not finish within 60 seconds", WAIT_TIMEOUT);
            return LockResult::TimedOut;
        }
    }
    PrintProgress("Going on without the installation lock\n");
    return LockResult::GoingOnWithout;
}

void ReleaseInstallationLock(HANDLE lock) {
    if (!lock) return;
    ReleaseMutex(lock);
    CloseHandle(lock);
}
