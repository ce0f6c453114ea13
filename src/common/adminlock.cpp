#include "common/adminlock.h"

namespace {

// Owned by Administrators; only Administrators and LocalSystem may use it.
constexpr char kLockSecurity[] = "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";

// Whether the object's owner is Administrators or LocalSystem, as it is when
// a run of this tool made it.
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

}  // namespace

HANDLE OpenAdministratorsMutex(const char* name) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kLockSecurity, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE mutex = CreateMutexA(&attributes, FALSE, name);
    bool existed = mutex && GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    if (existed && !OwnedByAdministrators(mutex)) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

DWORD TakeAdministratorsMutex(HANDLE mutex, DWORD milliseconds, void (*waiting)()) {
    DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait == WAIT_TIMEOUT) {
        waiting();
        wait = WaitForSingleObject(mutex, milliseconds);
    }
    return wait == WAIT_ABANDONED ? WAIT_OBJECT_0 : wait;
}
