// What the tool relies on from the service manager, devices, tokens and the
// base services. These run against any Win32: the stand-in on the host
// build, Wine on the Windows build.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

const char kTestService[] = "DuruvudeContract";

class ServiceContract : public ::testing::Test {
protected:
    void SetUp() override {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr) << GetLastError();
        // A crashed earlier run may have left the service behind.
        if (SC_HANDLE old = OpenServiceA(manager, kTestService, SERVICE_ALL_ACCESS)) {
            DeleteService(old);
            CloseServiceHandle(old);
        }
    }
    void TearDown() override {
        if (manager) CloseServiceHandle(manager);
    }

    SC_HANDLE Create() {
        return CreateServiceA(manager, kTestService, "Duruvude contract", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              "C:\\windows\\system32\\drivers\\DuruvudeContract.sys", "Extended Base", nullptr, nullptr,
                              nullptr, nullptr);
    }

    SC_HANDLE manager = nullptr;
};

TEST_F(ServiceContract, OpeningAMissingServiceGives1060) {
    SetLastError(0);
    EXPECT_EQ(OpenServiceA(manager, kTestService, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceContract, CreationKeepsTheConfigurationInTheServicesKey) {
    SC_HANDLE service = Create();
    ASSERT_NE(service, nullptr) << GetLastError();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\DuruvudeContract", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    char group[64] = {};
    size = sizeof group;
    EXPECT_EQ(RegQueryValueExA(key, "Group", nullptr, nullptr, reinterpret_cast<BYTE*>(group), &size), ERROR_SUCCESS);
    EXPECT_STREQ(group, "Extended Base");
    RegCloseKey(key);
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
}

TEST_F(ServiceContract, CreatingTwiceGivesServiceExists) {
    SC_HANDLE service = Create();
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(Create(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
}

TEST_F(ServiceContract, DeletionWaitsForTheLastHandle) {
    SC_HANDLE service = Create();
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_TRUE(DeleteService(service));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(Create(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    CloseServiceHandle(service);
    EXPECT_EQ(OpenServiceA(manager, kTestService, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\DuruvudeContract", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceContract, AStoppedDriverRefusesStopAndStartFailsWithoutItsImage) {
    SC_HANDLE service = Create();
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    // Windows answers a missing image with 2, Wine with 1114.
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
}

TEST_F(ServiceContract, HandlesRefuseWhatTheyWereNotOpenedFor) {
    SC_HANDLE connectOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(connectOnly, nullptr) << GetLastError();
    SetLastError(0xdeadbeef);
    SC_HANDLE created = CreateServiceA(connectOnly, kTestService, "Duruvude contract", SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       "C:\\windows\\system32\\drivers\\DuruvudeContract.sys", nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (created) CloseServiceHandle(created);
    CloseServiceHandle(connectOnly);

    SC_HANDLE full = Create();
    ASSERT_NE(full, nullptr) << GetLastError();
    SC_HANDLE query = OpenServiceA(manager, kTestService, SERVICE_QUERY_STATUS);
    ASSERT_NE(query, nullptr) << GetLastError();
    SERVICE_STATUS status = {};
    EXPECT_TRUE(QueryServiceStatus(query, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartServiceA(query, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_INTERROGATE}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ControlService(query, control, &status));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "control " << control;
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteService(query));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseServiceHandle(query);

    // GENERIC_EXECUTE carries SERVICE_START: the start gets past the access
    // check and fails only for the missing image (Windows 2, Wine 1114).
    SC_HANDLE execute = OpenServiceA(manager, kTestService, GENERIC_EXECUTE);
    ASSERT_NE(execute, nullptr) << GetLastError();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartServiceA(execute, 0, nullptr));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_DLL_INIT_FAILED) << error;
    CloseServiceHandle(execute);

    EXPECT_TRUE(DeleteService(full));
    CloseServiceHandle(full);
}

TEST(TokenContract, TokenInformationNeedsTokenQuery) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY_SOURCE, &token)) << GetLastError();
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(token);
}

TEST(MutexContract, ANamedMutexIsMadeOnceOwnedAsItsDescriptorSaysAndHeldAgainByItsHolder) {
    const char name[] = "Global\\DuruvudeContractLock";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    SetLastError(0xdeadbeef);
    HANDLE first = CreateMutexA(&attributes, FALSE, name);
    ASSERT_NE(first, nullptr) << GetLastError();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateMutexA(&attributes, FALSE, name);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    LocalFree(descriptor);

    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR ownerDescriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(second, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &ownerDescriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    EXPECT_FALSE(IsWellKnownSid(owner, WinLocalSystemSid));
    LocalFree(ownerDescriptor);

    EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_TRUE(ReleaseMutex(second));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(first));
    EXPECT_EQ(GetLastError(), 288u);  // ERROR_NOT_OWNER
    CloseHandle(second);
    CloseHandle(first);
}

TEST(DeviceContract, AMissingDeviceDoesNotOpen) {
    SetLastError(0);
    HANDLE device =
        CreateFileA("\\\\.\\DuruvudeNoSuchDevice", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(TokenContract, TheProcessTokenListsAdministratorsWithoutAThreadToken) {
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(size, sizeof(TOKEN_GROUPS) - sizeof(SID_AND_ATTRIBUTES));
    auto* groups = static_cast<TOKEN_GROUPS*>(LocalAlloc(LMEM_FIXED, size));
    ASSERT_NE(groups, nullptr);
    ASSERT_TRUE(GetTokenInformation(token, TokenGroups, groups, size, &size));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &administrators));
    const SID_AND_ATTRIBUTES* entries = groups->Groups;
    int matches = 0;
    for (DWORD i = 0; i < groups->GroupCount; ++i) matches += EqualSid(entries[i].Sid, administrators) ? 1 : 0;
    EXPECT_EQ(matches, 1);
    EXPECT_EQ(FreeSid(administrators), nullptr);
    EXPECT_EQ(LocalFree(groups), nullptr);
    EXPECT_TRUE(CloseHandle(token));
}

TEST(BaseContract, TheSystemDirectoryFitsAndReportsItsSizeWhenItDoesNot) {
    char directory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<UINT>(MAX_PATH));
    EXPECT_EQ(std::strlen(directory), length);
    char tiny[4] = {};
    EXPECT_EQ(GetSystemDirectoryA(tiny, sizeof tiny), length + 1);
}

TEST(BaseContract, SystemTextsEndWithALineBreakAndUnknownCodesHaveNone) {
    char text[260] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
    ASSERT_GT(length, 2u);
    EXPECT_EQ(std::string(text + length - 2), "\r\n");
    // With inserts ignored, a text that has one comes back as it stands.
    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 193, 0, text,
                            sizeof text, nullptr);
    ASSERT_GT(length, 0u);
    EXPECT_NE(std::string(text).find("%1"), std::string::npos);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x2000FFFF, 0, text,
                             sizeof text, nullptr),
              0u);
    // Too little room: nothing, and ERROR_INSUFFICIENT_BUFFER. The whole
    // text then comes in a buffer the system allocates, freed with LocalFree.
    char tiny[4] = {};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                             0, tiny, sizeof tiny, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                            0, text, sizeof text, nullptr);
    char* whole = nullptr;
    ASSERT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<char*>(&whole), 0, nullptr),
        length);
    EXPECT_EQ(std::string(whole), std::string(text));
    EXPECT_EQ(LocalFree(whole), nullptr);
}

}  // namespace
