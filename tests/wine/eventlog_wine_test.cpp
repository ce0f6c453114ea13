// The event-log registration against Wine's real registry.
#include <algorithm>

#include "eventlog/eventlog.h"
#include "wine_support.h"

namespace {

using bed::WineTest;

int CountKtrx(const std::vector<std::string>& entries) {
    return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                          [](const std::string& e) { return lstrcmpiA(e.c_str(), "KTRX") == 0; }));
}

TEST_F(WineTest, AddingThenRemovingLeavesSourcesAsItWas) {
    // A list with other sources in it, as on a real system.
    bed::RegData seeded{REG_MULTI_SZ, {}};
    for (const char* name : {"EventLog", "Service Control Manager", "Tcpip"}) {
        seeded.bytes.insert(seeded.bytes.end(), name, name + lstrlenA(name) + 1);
    }
    seeded.bytes.push_back(0);
    bed::WriteValue(bed::kSystemLog, "Sources", seeded);

    ASSERT_TRUE(AddEventLogSource());
    ASSERT_TRUE(AddEventLogSource());
    EXPECT_EQ(CountKtrx(bed::SourcesEntries()), 1);
    EXPECT_EQ(bed::SourcesEntries().size(), 4u);
    auto files = bed::ReadValue(bed::kSourceKey, "EventMessageFile");
    ASSERT_TRUE(files.has_value());
    EXPECT_EQ(files->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_STREQ(reinterpret_cast<const char*>(files->bytes.data()),
                 "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS");
    auto types = bed::ReadValue(bed::kSourceKey, "TypesSupported");
    ASSERT_TRUE(types.has_value());
    EXPECT_EQ(types->bytes, (std::vector<BYTE>{7, 0, 0, 0}));

    RemoveEventLogSource();
    EXPECT_FALSE(bed::KeyExists(bed::kSourceKey));
    EXPECT_EQ(bed::ReadValue(bed::kSystemLog, "Sources"), seeded);
}

TEST_F(WineTest, AddingToTheFreshPrefixsEmptyListAndRemovingGivesItBack) {
    auto before = bed::ReadValue(bed::kSystemLog, "Sources");
    ASSERT_TRUE(before.has_value());
    ASSERT_TRUE(AddEventLogSource());
    EXPECT_EQ(CountKtrx(bed::SourcesEntries()), 1);
    RemoveEventLogSource();
    EXPECT_EQ(bed::ReadValue(bed::kSystemLog, "Sources"), before);
}

TEST_F(WineTest, AFailureOfTheToolsOwnCodeInThisProcessIsAnsweredNotHung) {
    HKEY log = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, bed::kSystemLog, 0, KEY_ALL_ACCESS, &log), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(log, "Sources"), ERROR_SUCCESS);
    RegCloseKey(log);
    EXPECT_FALSE(AddEventLogSource());
    auto boxes = bed::TakeOwnBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, bed::kErrorTitle);
    EXPECT_EQ(boxes[0].text, bed::ErrorText("Failed to read HKLM EventLog Sources value", ERROR_FILE_NOT_FOUND));
}

}  // namespace
