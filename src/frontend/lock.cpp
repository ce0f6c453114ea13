// The installation lock: a global mutex that serializes the runs that change
// something, so that two overlapping runs (a retried deployment, two agents,
// a double click) cannot tear each other's work apart.
#include "common/report.h"
#include "frontend/frontend.h"

namespace {

constexpr char kLockName[] = "Global\\DURUVUDE-KTRX";
// Owned by Administrators; only Administrators and LocalSystem may use it.
constexpr char kLockSecurity[] = "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";
constexpr DWORD kLockWaitMilliseconds = 60000;

// Whether the object's owner is Administrators or LocalSystem, as it is when
// a run of this tool made it. An object of that name made by anyone else
// must not be able to hold an administrator's run back.
bool OwnedByAdministrators(HANDLE mutex) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted =
        owner && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid));
    LocalFree(descriptor);
    return trusted;
}

// The lock's mutex, created or opened; NULL when it cannot be had or cannot
// be trusted.
HANDLE OpenLock() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kLockSecurity, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE mutex = CreateMutexA(&attributes, FALSE, kLockName);
    bool existed = mutex && GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    if (existed && !OwnedByAdministrators(mutex)) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

}  // namespace

LockResult TakeInstallationLock(HANDLE& lock) {
    lock = OpenLock();
    if (lock) {
        DWORD wait = WaitForSingleObject(lock, 0);
        if (wait == WAIT_TIMEOUT) {
            PrintProgress("Waiting for another DURUVUDE run to finish\n");
            wait = WaitForSingleObject(lock, kLockWaitMilliseconds);
        }
        // An abandoned lock belonged to a run that was killed: it is ours now.
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return LockResult::Taken;
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
