// The driver's event-log source key and its "Sources" entry, on the stand-in.
#include <algorithm>
#include <cstdint>
#include <cstdio>

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
        std::vector<BYTE> added;  // as written with KTRX
    };
    auto OddByte = [](std::vector<BYTE> bytes) {
        bytes.push_back(0x7F);
        return bytes;
    };
    const std::vector<Case> cases = {
        {REG_MULTI_SZ, Wide(u"A\0Bc\0\0D\0\0"s), Wide(u"A\0Bc\0\0D\0KTRX\0\0"s)},
        {REG_SZ, Wide(u"A\0Bc\0\0D\0\0"s), Wide(u"A\0Bc\0\0D\0KTRX\0\0"s)},
        {REG_EXPAND_SZ, Wide(u"A\0\0"s), Wide(u"A\0KTRX\0\0"s)},
        {REG_BINARY, {'A', 0, 'B', 'c', 0, 0, 'D', 0, 0}, {'A', 0, 'B', 'c', 0, 0, 'D', 0, 'K', 'T', 'R', 'X', 0, 0}},
        // Names in several scripts, one outside the BMP (a surrogate pair).
        {REG_MULTI_SZ, Wide(u"Alpha\0日本語ソース\0Überwachung\0Служба\0𝒜Source\0\0"s),
         Wide(u"Alpha\0日本語ソース\0Überwachung\0Служба\0𝒜Source\0KTRX\0\0"s)},
        // A string value of odd length: its last byte stays last.
        {REG_MULTI_SZ, OddByte(Wide(u"Alpha\0\0"s)), OddByte(Wide(u"Alpha\0KTRX\0\0"s))},
    };
    for (const auto& [type, data, added] : cases) {
        standin::ResetMachine();
        standin::PutValue(kSystemLog, "Sources", type, data);
        std::string before = standin::DumpRegistry();
        ASSERT_TRUE(Add());
        EXPECT_EQ(standin::GetValue(kSystemLog, "Sources"), (standin::RegValue{type, added}));
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
        {"RegQueryValueExW", 1, "Failed to read HKLM EventLog Sources value"},  // its size
        {"LocalAlloc", 1, "Failed to read HKLM EventLog Sources value"},        // the buffer for it
        {"RegQueryValueExW", 2, "Failed to read HKLM EventLog Sources value"},  // its data
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

// "Sources" is read at the size it has, into one buffer of that size and
// the room for KTRX: just past the old 4096 limit, and 16,384 names of 32
// characters (the most sources a log takes), KTRX absent or in another case
// in the middle.
TEST_F(EventLogSource, SourcesOfAnySizeTakesKtrxInOneBufferOfItsSize) {
    auto Names = [](size_t count, size_t length, size_t ktrxAt) {
        std::u16string text;
        for (size_t i = 0; i < count; ++i) {
            std::u16string name = i == ktrxAt ? u"kTrX" : u"Microsoft-Windows-Source-";
            while (name.size() < (i == ktrxAt ? 4 : length))
                name += static_cast<char16_t>(u'a' + (i + name.size()) % 26);
            text += name + u'\0';
        }
        return text + u'\0';
    };
    const size_t none = SIZE_MAX;
    const struct {
        DWORD type;
        std::vector<BYTE> data;
        bool holdsKtrx;
    } cases[] = {
        {REG_MULTI_SZ, Wide(std::u16string(4095, u'x') + u"\0\0"s), false},  // 4097 units
        {REG_BINARY,
         [] {
             std::vector<BYTE> bytes(4097, 'x');
             bytes[4095] = bytes[4096] = 0;
             return bytes;
         }(),
         false},
        {REG_MULTI_SZ, Wide(Names(16384, 32, none)), false},
        {REG_MULTI_SZ, Wide(Names(16384, 32, 8192)), true},
    };
    for (const auto& c : cases) {
        standin::ResetMachine();
        standin::PutValue(kSystemLog, "Sources", c.type, c.data);
        ASSERT_TRUE(Add()) << c.data.size();
        std::vector<BYTE> added = c.data;
        if (!c.holdsKtrx) {
            const std::vector<BYTE> entry =
                c.type == REG_BINARY ? std::vector<BYTE>{'K', 'T', 'R', 'X', 0, 0} : Wide(u"KTRX\0\0"s);
            added.resize(added.size() - (c.type == REG_BINARY ? 1 : 2));  // over the final NUL
            added.insert(added.end(), entry.begin(), entry.end());
        }
        EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, added) << c.data.size();
        EXPECT_EQ(standin::CallsTo("RegSetValueExW"), c.holdsKtrx ? 0 : 1);
        // One buffer: the value and the room for the entry, no more.
        EXPECT_LE(standin::LargestLocalAlloc(), c.data.size() + 16) << c.data.size();
        EXPECT_GE(standin::LargestLocalAlloc(), c.data.size());
        std::printf("Sources of %zu bytes: largest buffer %zu bytes\n", c.data.size(), standin::LargestLocalAlloc());
        Remove();
        std::vector<BYTE> removed = c.data;
        if (c.holdsKtrx) {
            const std::vector<BYTE> ktrx = Wide(u"kTrX"s);
            auto at = std::search(removed.begin(), removed.end(), ktrx.begin(), ktrx.end());
            removed.erase(at, at + 10);
        }
        EXPECT_EQ(standin::GetValue(kSystemLog, "Sources")->data, removed) << c.data.size();
        EXPECT_TRUE(standin::Boxes().empty());
    }
}

// Another program rewrites "Sources" between its size and its data: read
// again at the new size. One that grows at every read ends the retries,
// reported with ERROR_MORE_DATA's text, and nothing is written.
TEST_F(EventLogSource, SourcesThatGrowsBetweenItsTwoReadsIsReadAgain) {
    auto Grow = [] {
        auto value = standin::GetValue(kSystemLog, "Sources");
        const std::vector<BYTE> more = Wide(u"Other\0"s);
        value->data.insert(value->data.begin(), more.begin(), more.end());
        standin::PutValue(kSystemLog, "Sources", value->type, value->data);
    };
    standin::BeforeCall("RegQueryValueExW", Grow, 2);
    ASSERT_TRUE(Add());
    EXPECT_EQ(standin::CallsTo("RegQueryValueExW"), 4);
    auto expected = kFreshSources;
    expected.insert(expected.begin(), "Other");
    expected.insert(expected.end(), {"KTRX", ""});
    EXPECT_EQ(harness::SourcesEntries(), expected);
    EXPECT_TRUE(standin::Boxes().empty());

    for (const bool adding : {true, false}) {
        standin::ResetMachine();
        if (!adding) harness::LayOutInstalledDriver();
        standin::BeforeCall("RegQueryValueExW", Grow, 0);
        if (adding)
            EXPECT_FALSE(Add());
        else
            Remove();
        EXPECT_EQ(harness::BoxTexts(),
                  std::vector<std::string>{ErrorText("Failed to read HKLM EventLog Sources value", ERROR_MORE_DATA)});
        EXPECT_EQ(standin::CallsTo("RegQueryValueExW"), 8);
        EXPECT_EQ(standin::CallsTo("RegSetValueExW"), 0);
        EXPECT_EQ(standin::Open().localBuffers, 0);
    }
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
        {"LocalAlloc", 1, "Failed to read HKLM EventLog Sources value"},
        {"RegQueryValueExW", 2, "Failed to read HKLM EventLog Sources value"},
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
