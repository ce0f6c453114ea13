// The driver's event-log source key and its "Sources" entry, on the stand-in.
#include <algorithm>

#include "eventlog/eventlog.h"
#include "harness.h"

namespace {

using harness::ErrorText;
using harness::kSourceKey;
using harness::kSystemLog;
using harness::StandinTest;

const char kMessageFiles[] = "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS";
const std::vector<std::string> kFreshSources = {"Application Popup", "EventLog", "Service Control Manager", "Tcpip",
                                                "System"};

class EventLogSource : public StandinTest {
protected:
    bool Add() {
        bool ok = false;
        output = harness::Capture([&] { ok = AddEventLogSource(); });
        return ok;
    }
    void Remove() {
        output = harness::Capture([] { RemoveEventLogSource(); });
    }
    std::string output;
};

TEST_F(EventLogSource, AddingWritesTheKeyBothValuesAndTheEntry) {
    ASSERT_TRUE(Add());
    EXPECT_EQ(output, "Adding event logging capabilities\n");
    EXPECT_TRUE(standin::Boxes().empty());
    auto files = standin::GetValue(kSourceKey, "EventMessageFile");
    ASSERT_TRUE(files.has_value());
    EXPECT_EQ(files->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(files->data, std::vector<BYTE>(kMessageFiles, kMessageFiles + sizeof kMessageFiles));
    auto types = standin::GetValue(kSourceKey, "TypesSupported");
    ASSERT_TRUE(types.has_value());
    EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types->data, (std::vector<BYTE>{7, 0, 0, 0}));
    auto expected = kFreshSources;
    expected.push_back("KTRX");
    expected.push_back("");
    EXPECT_EQ(harness::SourcesEntries(), expected);
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->type, static_cast<DWORD>(REG_MULTI_SZ));
}

TEST_F(EventLogSource, AddingTwiceKeepsOneEntryAndRewritesTheValues) {
    ASSERT_TRUE(Add());
    standin::PutDword(kSourceKey, "TypesSupported", 1);
    auto sources = standin::GetValue(kSystemLog, "Sources");
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"), sources);
    EXPECT_EQ(standin::GetValue(kSourceKey, "TypesSupported")->data, (std::vector<BYTE>{7, 0, 0, 0}));
}

TEST_F(EventLogSource, AnEntryInAnotherCaseCountsWhenAddingAndRemoving) {
    standin::PutMultiSz(kSystemLog, "Sources", {"EventLog", "ktrx", "Tcpip"});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::CallsTo("RegSetValueExA"), 2);  // the two values of the key only
    Remove();
    EXPECT_EQ(harness::SourcesEntries(), (std::vector<std::string>{"EventLog", "Tcpip", ""}));
}

TEST_F(EventLogSource, AddingThenRemovingGivesBackSourcesByteForByte) {
    for (DWORD type : {static_cast<DWORD>(REG_MULTI_SZ), static_cast<DWORD>(REG_BINARY), static_cast<DWORD>(REG_SZ)}) {
        standin::ResetMachine();
        const std::vector<BYTE> data = {'A', 0, 'B', 'c', 0, 0, 'D', 0, 0};
        standin::PutValue(kSystemLog, "Sources", type, data);
        std::string before = standin::DumpRegistry();
        ASSERT_TRUE(Add());
        EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->type, type);
        Remove();
        EXPECT_EQ(standin::DumpRegistry(), before) << "type " << type;
        EXPECT_TRUE(standin::Boxes().empty());
    }
}

TEST_F(EventLogSource, MalformedSourcesKeepTheirEntries) {
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, {'A', 0, 'B', 'e'});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data,
              (std::vector<BYTE>{'A', 0, 'B', 'e', 0, 'K', 'T', 'R', 'X', 0, 0}));
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, (std::vector<BYTE>{'A', 0, 'B', 'e', 0, 0}));

    // No NUL at all: one unended entry.
    standin::PutValue(kSystemLog, "Sources", REG_BINARY, {'A', 'B'});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"),
              (standin::RegValue{REG_BINARY, {'A', 'B', 0, 'K', 'T', 'R', 'X', 0, 0}}));
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"), (standin::RegValue{REG_BINARY, {'A', 'B', 0, 0}}));

    // An unended KTRX is the entry itself: nothing is added, and removing takes its letters.
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, {'A', 0, 'k', 't', 'r', 'x'});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, (std::vector<BYTE>{'A', 0, 'k', 't', 'r', 'x'}));
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, (std::vector<BYTE>{'A', 0}));
}

TEST_F(EventLogSource, AnEmptySourcesValueBecomesAOneEntryList) {
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, {});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, (std::vector<BYTE>{'K', 'T', 'R', 'X', 0, 0}));
}

struct AddFailure {
    const char* op;
    int nth;
    const char* message;
};

TEST_F(EventLogSource, EachFailingStepOfAddingIsReportedWithTheRegistrysCode) {
    const AddFailure failures[] = {
        {"RegOpenKeyExA", 1, "Failed to open HKLM EventLog key"},
        {"RegCreateKeyExA", 1, "Failed to create HKLM EventLog KTRX key"},
        {"RegSetValueExA", 1, "Failed to set HKLM EventLog KTRX EventMessageFile value"},
        {"RegSetValueExA", 2, "Failed to set HKLM EventLog KTRX TypesSupported value"},
        {"RegQueryValueExA", 1, "Failed to read HKLM EventLog Sources value"},
        {"RegSetValueExA", 3, "Failed to add KTRX to EventLog sources value"},
    };
    for (const auto& f : failures) {
        standin::ResetMachine();
        SetLastError(0);
        standin::FailCall(f.op, ERROR_ACCESS_DENIED, f.nth);
        EXPECT_FALSE(Add()) << f.message;
        EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{ErrorText(f.message, ERROR_ACCESS_DENIED)});
        EXPECT_EQ(standin::Open().Total(), 0) << f.message;
        auto entries = harness::SourcesEntries();
        EXPECT_EQ(std::count(entries.begin(), entries.end(), "KTRX"), 0) << f.message;
    }
}

TEST_F(EventLogSource, AMissingSourcesValueFailsAfterTheKeyIsWritten) {
    standin::RemoveValue(kSystemLog, "Sources");
    EXPECT_FALSE(Add());
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to read HKLM EventLog Sources value", ERROR_FILE_NOT_FOUND)});
    EXPECT_TRUE(standin::GetValue(kSourceKey, "TypesSupported").has_value());
    EXPECT_FALSE(standin::GetValue(kSystemLog, "Sources").has_value());

    standin::ResetMachine();
    harness::LayOutInstalledDriver();
    standin::RemoveValue(kSystemLog, "Sources");
    Remove();
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to read HKLM EventLog Sources value", ERROR_FILE_NOT_FOUND)});
    EXPECT_FALSE(standin::KeyExists(kSourceKey));
    EXPECT_FALSE(standin::GetValue(kSystemLog, "Sources").has_value());
}

TEST_F(EventLogSource, ASourcesValueOverFourKilobytesCannotBeRead) {
    std::vector<BYTE> big(5000, 'x');
    big[4998] = 0;
    big[4999] = 0;
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, big);
    EXPECT_FALSE(Add());
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to read HKLM EventLog Sources value", ERROR_MORE_DATA)});
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, big);
}

TEST_F(EventLogSource, AFullListIsLeftAloneAndTheReasonGiven) {
    std::vector<BYTE> full(4092, 'x');
    full[4090] = 0;
    full[4091] = 0;
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, full);
    EXPECT_FALSE(Add());
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{ErrorText("Failed to add KTRX to EventLog sources value",
                                                                      ERROR_INSUFFICIENT_BUFFER)});
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, full);
}

TEST_F(EventLogSource, RemovingWhatIsNotThereReportsAndChangesNothing) {
    std::string before = standin::DumpRegistry();
    Remove();
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_EQ(output, "");
    EXPECT_EQ(standin::DumpRegistry(), before);
    EXPECT_EQ(standin::CallsTo("RegSetValueExA"), 0);
}

TEST_F(EventLogSource, AKeyAlreadyGoneDoesNotStopTheEntrysRemoval) {
    harness::LayOutInstalledDriver();
    standin::DeleteTree(kSourceKey);
    Remove();
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_EQ(harness::SourcesEntries(), [] {
        auto e = kFreshSources;
        e.push_back("");
        return e;
    }());
}

TEST_F(EventLogSource, EachFailingStepOfRemovingIsReportedAndStopsIt) {
    const AddFailure failures[] = {
        {"RegOpenKeyExA", 1, "Failed to open HKLM EventLog key"},
        {"RegDeleteKeyA", 1, "Failed to delete HKLM EventLog KTRX key"},
        {"RegQueryValueExA", 1, "Failed to read HKLM EventLog Sources value"},
        {"RegSetValueExA", 1, "Failed to set HKLM EventLog Sources value"},
    };
    for (const auto& f : failures) {
        standin::ResetMachine();
        harness::LayOutInstalledDriver();
        auto sources = standin::GetValue(kSystemLog, "Sources");
        standin::FailCall(f.op, ERROR_ACCESS_DENIED, f.nth);
        Remove();
        EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{ErrorText(f.message, ERROR_ACCESS_DENIED)});
        EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"), sources) << f.message;
        EXPECT_EQ(standin::Open().Total(), 0) << f.message;
    }
}

TEST_F(EventLogSource, ASourceKeyWithSubkeysIsNotDeleted) {
    harness::LayOutInstalledDriver();
    standin::CreateKey(kSourceKey + "\\Extra");
    Remove();
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to delete HKLM EventLog KTRX key", ERROR_ACCESS_DENIED)});
    EXPECT_TRUE(standin::KeyExists(kSourceKey + "\\Extra"));
}

}  // namespace
