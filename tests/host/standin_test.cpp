// The stand-in's own controls: injected faults, open-handle counts, and the
// parts of its behaviour that the contract tests cannot lay out on Wine.
#include "harness.h"

namespace {

using harness::StandinTest;

TEST_F(StandinTest, AnInjectedFailureReachesTheCallerWithItsCode) {
    standin::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, 2);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    standin::FailNthCall(1, ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
}

TEST(StandinCounts, ALeakedKeyShowsInTheOpenCount) {
    standin::ResetMachine();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(standin::Open().keys, 1);
    EXPECT_EQ(standin::Open().Total(), 1);
    RegCloseKey(key);
    EXPECT_EQ(standin::Open().Total(), 0);
}

TEST_F(StandinTest, ARunningDriverOffersItsDeviceUntilItStops) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(standin::GetDevice("KTRX"), standin::DeviceState::Absent);
    EXPECT_TRUE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(standin::GetDevice("KTRX"), standin::DeviceState::Opens);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(standin::GetDevice("KTRX"), standin::DeviceState::Absent);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(StandinTest, APendingStopEndsAfterItsInterrogations) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    standin::SetStopBehaviour("KTRX", standin::StopBehaviour::Pending, 2);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    ControlService(service, SERVICE_CONTROL_INTERROGATE, &status);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(StandinTest, AccessRightsAreChecked) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", GENERIC_READ);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteService(service));
    CloseServiceHandle(service);
    service = OpenServiceA(manager, "KTRX", GENERIC_EXECUTE);
    EXPECT_TRUE(StartServiceA(service, 0, nullptr));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// Rules that Windows enforces and Wine does not (Wine creates subkeys under
// any handle and runs every program as an administrator): pinned here, on
// the stand-in only.
TEST_F(StandinTest, CreatingASubkeyNeedsCreateSubKeyOnTheParent) {
    standin::CreateKey("SOFTWARE\\Parent\\Existing");
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent", 0, KEY_SET_VALUE, &parent), ERROR_SUCCESS);
    HKEY child = nullptr;
    char noClass[] = "";
    EXPECT_EQ(
        RegCreateKeyExA(parent, "New", 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr),
        ERROR_ACCESS_DENIED);
    EXPECT_FALSE(standin::KeyExists("SOFTWARE\\Parent\\New"));
    // Opening an existing key that way needs no right on the parent.
    ASSERT_EQ(RegCreateKeyExA(parent, "Existing", 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(parent);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent", 0, KEY_CREATE_SUB_KEY, &parent), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(parent, "New", 0, noClass, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(standin::KeyCreateOptions("SOFTWARE\\Parent\\New"), static_cast<DWORD>(REG_OPTION_VOLATILE));
    RegCloseKey(child);
    RegCloseKey(parent);
}

TEST_F(StandinTest, ACallerWhoIsNoAdministratorMayOnlyReadTheSystemKeys) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    // Administrators listed for deny only: present in the token, never granted.
    standin::SetProcessTokenGroups({{"S-1-1-0"}, {"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}});
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kParameters.c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, harness::kSourceKey.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(standin::KeyExists(harness::kSourceKey));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kParameters.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    CloseServiceHandle(manager);
    // Nor may it name Administrators as an object's owner (1307), nor open
    // an object whose DACL admits only Administrators and LocalSystem.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateMutexA(&attributes, FALSE, "Global\\Made"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_OWNER));
    standin::PutMutex("Global\\Elevated", {});
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateMutexA(&attributes, FALSE, "Global\\Elevated"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    LocalFree(descriptor);

    // The same token with the group enabled is an administrator's.
    standin::SetProcessTokenGroups({{"S-1-1-0"}, {"S-1-5-32-544"}});
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kParameters.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(StandinTest, ADeviceCanRefuseToOpen) {
    standin::SetDevice("KTRX", standin::DeviceState::Refuses);
    EXPECT_EQ(CreateFileA("\\\\.\\KTRX", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
