// What the tool relies on from the registry. These run against any Win32:
// the stand-in on the host build, Wine on the Windows build.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

const char kTestKey[] = "Software\\DuruvudeContract";

class RegistryContract : public ::testing::Test {
protected:
    void SetUp() override { DeleteTestTree(); }
    void TearDown() override { DeleteTestTree(); }

    static void DeleteTestTree() {
        // Left-overs of a crashed run first, deepest keys first.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\DuruvudeContract\\Child\\Grandchild");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\DuruvudeContract\\Child");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey);
    }

    static HKEY Create(const char* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        char noClass[] = "";
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryContract, OpeningAMissingKeyGivesFileNotFound) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, CreateOpensAnExistingKeyAndNamesIgnoreCase) {
    DWORD disposition = 0;
    HKEY first = Create(kTestKey, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY second = Create("SOFTWARE\\duruvudecontract", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\DURUVUDECONTRACT", 0, KEY_ALL_ACCESS, &opened),
              ERROR_SUCCESS);
    RegCloseKey(opened);
    RegCloseKey(second);
    RegCloseKey(first);
}

TEST_F(RegistryContract, AHandleRefusesWhatItWasNotOpenedFor) {
    HKEY key = Create(kTestKey);
    DWORD value = 7;
    ASSERT_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
    RegCloseKey(key);

    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(reader, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader, "Value"), ERROR_ACCESS_DENIED);
    RegCloseKey(reader);

    HKEY writer = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(writer, "Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(writer, "Value"), ERROR_SUCCESS);
    RegCloseKey(writer);
}

// Why "Sources" is read and written through the W functions: the A functions
// pass string data through the ANSI code page, and a name outside it comes
// back as '?' (written back, it would be lost).
TEST_F(RegistryContract, TheAFunctionsLoseWhatTheAnsiCodePageCannotHoldAndTheWFunctionsKeepIt) {
    HKEY key = Create(kTestKey);
    const WCHAR name[] = {'L', 'i', 's', 't', 0};
    // "A", "日本語", "Ü", "𝒜" (a surrogate pair), and the final NUL.
    const std::vector<std::uint16_t> units = {'A', 0, 0x65E5, 0x672C, 0x8A9E, 0, 0xDC, 0, 0xD835, 0xDC9C, 0, 0};
    std::vector<BYTE> stored(units.size() * 2);
    std::memcpy(stored.data(), units.data(), stored.size());
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_MULTI_SZ, stored.data(), static_cast<DWORD>(stored.size())),
              ERROR_SUCCESS);

    std::vector<BYTE> wide(256);
    DWORD size = static_cast<DWORD>(wide.size());
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(key, name, nullptr, &type, wide.data(), &size), ERROR_SUCCESS);
    wide.resize(size);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(wide, stored);

    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP() << ", not Windows-1252";
    std::vector<BYTE> ansi(256);
    size = static_cast<DWORD>(ansi.size());
    ASSERT_EQ(RegQueryValueExA(key, "List", nullptr, &type, ansi.data(), &size), ERROR_SUCCESS);
    ansi.resize(size);
    EXPECT_EQ(ansi, (std::vector<BYTE>{'A', 0, '?', '?', '?', 0, 0xDC, 0, '?', '?', 0, 0}));
    RegCloseKey(key);
}

TEST_F(RegistryContract, DwordRoundTripsAndShortBuffersAskForMore) {
    HKEY key = Create(kTestKey);
    DWORD value = 0xFFFFFFFF;
    ASSERT_EQ(RegSetValueExA(key, "VideoTimeout", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    BYTE data[4] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "VideoTimeout", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(data, &value, 4), 0);

    const char text[] = "a string longer than four bytes";
    ASSERT_EQ(RegSetValueExA(key, "Long", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Long", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);

    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, data, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryContract, MultiStringRoundTripsByteForByte) {
    HKEY key = Create(kTestKey);
    const BYTE list[] = {'A', 'l', 'p', 'h', 'a', 0, 'B', 'e', 't', 'a', 0, 0};
    ASSERT_EQ(RegSetValueExA(key, "Sources", 0, REG_MULTI_SZ, list, sizeof list), ERROR_SUCCESS);
    BYTE data[64] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Sources", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_EQ(size, sizeof list);
    EXPECT_EQ(std::memcmp(data, list, sizeof list), 0);
    RegCloseKey(key);
}

TEST_F(RegistryContract, FailuresComeBackAsResultsNotAsLastError) {
    SetLastError(1234);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(RegistryContract, DeletingAKeyWithSubkeysIsRefused) {
    RegCloseKey(Create("Software\\DuruvudeContract\\Child"));
    EXPECT_NE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "Child"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey), ERROR_SUCCESS);
}

TEST_F(RegistryContract, TheSystemLogKeepsItsSourcesAsAMultiString) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\EventLog\\System", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    std::vector<BYTE> data(4096);
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Sources", nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_GE(size, 1u);
    EXPECT_EQ(data[size - 1], 0);
    RegCloseKey(key);
}

}  // namespace
