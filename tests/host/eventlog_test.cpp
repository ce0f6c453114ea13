// The driver's event-log source key and its "Sources" entry, on the stand-in.
#include <algorithm>

#include "eventlog/eventlog.h"
#include "harness.h"

namespace {

using namespace std::string_literals;
using harness::ErrorText;
using harness::kSourceKey;
using harness::kSystemLog;
using harness::StandinTest;

const char kMessageFiles[] = "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS";

// A string value's stored bytes: its text in UTF-16.
std::vector<BYTE> Wide(const std::u16string& text) { return standin::BytesOf(text); }
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
    EXPECT_EQ(files->data, Wide(std::u16string(kMessageFiles, kMessageFiles + sizeof kMessageFiles)));
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
    EXPECT_EQ(standin::CallsTo("RegSetValueExW"), 0);  // the two values of the key only
    Remove();
    EXPECT_EQ(harness::SourcesEntries(), (std::vector<std::string>{"EventLog", "Tcpip", ""}));
}

TEST_F(EventLogSource, AddingThenRemovingGivesBackSourcesByteForByte) {
    struct Case {
        DWORD type;
        std::vector<BYTE> data;
    };
    const std::vector<Case> cases = {
        {REG_MULTI_SZ, Wide(u"A\0Bc\0\0D\0\0"s)},
        {REG_SZ, Wide(u"A\0Bc\0\0D\0\0"s)},
        {REG_EXPAND_SZ, Wide(u"A\0\0"s)},
        {REG_BINARY, {'A', 0, 'B', 'c', 0, 0, 'D', 0, 0}},
        // Names in several scripts, one outside the BMP (a surrogate pair).
        {REG_MULTI_SZ, Wide(u"Alpha\0日本語ソース\0Überwachung\0Служба\0𝒜Source\0\0"s)},
        // A string value of odd length: its last byte stays last.
        {REG_MULTI_SZ,
         [] {
             auto d = Wide(u"Alpha\0\0"s);
             d.push_back(0x7F);
             return d;
         }()},
    };
    for (const auto& [type, data] : cases) {
        standin::ResetMachine();
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
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, Wide(u"A\0Be"s));
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(u"A\0Be\0KTRX\0\0"s));
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(u"A\0Be\0\0"s));

    // An odd byte after the last whole unit stays last, after KTRX.
    std::vector<BYTE> odd = Wide(u"A\0\0"s);
    odd.push_back(0x55);
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, odd);
    ASSERT_TRUE(Add());
    std::vector<BYTE> added = Wide(u"A\0KTRX\0\0"s);
    added.push_back(0x55);
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, added);
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, odd);

    // No NUL at all: one unended entry.
    standin::PutValue(kSystemLog, "Sources", REG_BINARY, {'A', 'B'});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"),
              (standin::RegValue{REG_BINARY, {'A', 'B', 0, 'K', 'T', 'R', 'X', 0, 0}}));
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"), (standin::RegValue{REG_BINARY, {'A', 'B', 0, 0}}));

    // An unended KTRX is the entry itself: nothing is added, and removing takes its letters.
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, Wide(u"A\0ktrx"s));
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(u"A\0ktrx"s));
    Remove();
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(u"A\0"s));

    // A unit above 0xFF is no letter: Ŋ (U+014A) is not a K that lost its
    // high byte, and a list of such units is left alone.
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, Wide(u"\u014BTRX\0\0"s));
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(u"\u014BTRX\0KTRX\0\0"s));
}

TEST_F(EventLogSource, AnEmptySourcesValueBecomesAOneEntryList) {
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, {});
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(u"KTRX\0\0"s));
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
        {"RegQueryValueExW", 1, "Failed to read HKLM EventLog Sources value"},
        {"RegSetValueExW", 1, "Failed to add KTRX to EventLog sources value"},
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

// The capacity counts characters for a string type (4096, whatever each
// one's size) and bytes for any other.
TEST_F(EventLogSource, AValueOverTheCapacityOfItsTypeCannotBeRead) {
    auto List = [](size_t units) {
        std::u16string text(units, u'x');
        text[units - 2] = text[units - 1] = 0;
        return text;
    };
    const struct {
        DWORD type;
        std::vector<BYTE> data;
        bool fits;
    } cases[] = {
        {REG_MULTI_SZ, Wide(List(4097)), false},
        {REG_MULTI_SZ, Wide(List(4096)), true},
        {REG_BINARY, std::vector<BYTE>(4097, 0), false},
        {REG_BINARY, std::vector<BYTE>(4096, 0), true},
    };
    for (const auto& c : cases) {
        standin::ResetMachine();
        standin::PutValue(kSystemLog, "Sources", c.type, c.data);
        EXPECT_FALSE(Add());
        // Every list that fits is full: it takes no KTRX either.
        EXPECT_EQ(harness::BoxTexts(),
                  std::vector<std::string>{
                      c.fits ? ErrorText("Failed to add KTRX to EventLog sources value", ERROR_INSUFFICIENT_BUFFER)
                             : ErrorText("Failed to read HKLM EventLog Sources value", ERROR_MORE_DATA)})
            << c.type << " " << c.data.size();
        EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, c.data);
        EXPECT_EQ(standin::CallsTo("RegSetValueExW"), 0);
    }
}

TEST_F(EventLogSource, AListThatCannotTakeKtrxIsLeftAloneAndTheReasonGiven) {
    std::u16string full(4092, u'x');
    full[4090] = full[4091] = 0;
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, Wide(full));
    EXPECT_FALSE(Add());
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{ErrorText("Failed to add KTRX to EventLog sources value",
                                                                      ERROR_INSUFFICIENT_BUFFER)});
    EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, Wide(full));
    // One character fewer and it fits.
    full.resize(4091);
    full[4089] = full[4090] = 0;
    standin::PutValue(kSystemLog, "Sources", REG_MULTI_SZ, Wide(full));
    EXPECT_TRUE(Add());
}

TEST_F(EventLogSource, RemovingWhatIsNotThereReportsAndChangesNothing) {
    std::string before = standin::DumpRegistry();
    Remove();
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_EQ(output, "");
    EXPECT_EQ(standin::DumpRegistry(), before);
    EXPECT_EQ(standin::CallsTo("RegSetValueExW"), 0);
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
        {"RegQueryValueExW", 1, "Failed to read HKLM EventLog Sources value"},
        {"RegSetValueExW", 1, "Failed to set HKLM EventLog Sources value"},
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
