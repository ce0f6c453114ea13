// The command line, the run sequence, the administrator check, reporting
// and the timeout setting, on the stand-in.
#include "common/report.h"
#include "harness.h"

namespace {

using harness::ErrorText;
using harness::RunDuruvude;
using harness::StandinTest;

const std::string kUsageStart =
    "USAGE:\nDURUVUDE <option(s)>\nOptions are:\ninstall / uninstall\nvideotimeout <xxx>\n\nCurrent Configuration:\n"
    "VideoTimeout ";
const char kAdminRefusal[] = "Administrator privileges are required to install/configure the driver";
const char kNotice[] =
    "Driver configuration changes have been made.\nYou must now restart the driver or reboot the system\n";

// ---- the run sequence's failure table

class RunSequence : public StandinTest {};

TEST_F(RunSequence, NoArgumentsShowUsageWithoutTouchingAnything) {
    std::string before = standin::DumpRegistry();
    auto run = RunDuruvude({});
    EXPECT_EQ(run.status, -1);
    ASSERT_EQ(standin::Boxes().size(), 1u);
    const auto& box = standin::Boxes()[0];
    EXPECT_EQ(box.title, harness::kUsageTitle);
    EXPECT_EQ(box.text, kUsageStart + "N/A\n");
    EXPECT_EQ(box.flags, static_cast<UINT>(0x40));
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(standin::CallsTo("OpenSCManagerA"), 0);
    EXPECT_EQ(standin::DumpRegistry(), before);
}

TEST_F(RunSequence, DllSearchIsRestrictedToTheSystemDirectoryBeforeAnythingElse) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"install"}, {"videotimeout", "x"}}) {
        standin::ResetMachine();
        RunDuruvude(args);
        EXPECT_EQ(standin::DefaultDllDirectories(), static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
        const auto& log = standin::CallLog();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 3),
                  (std::vector<std::string>{"GetModuleHandleA", "GetProcAddress", "SetDefaultDllDirectories"}));
    }
    // Where the system has no such function, the run goes on as before.
    standin::ResetMachine();
    standin::SetDllDirectoriesSupported(false);
    EXPECT_EQ(RunDuruvude({"install"}).status, 0);
    EXPECT_FALSE(standin::DefaultDllDirectories().has_value());
}

TEST_F(RunSequence, UsageShowsTheStoredValue) {
    standin::PutDword(harness::kParameters, "VideoTimeout", 300);
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "300\n"});
}

TEST_F(RunSequence, UsageShowsNotAvailableToACallerWhoIsNoAdministrator) {
    // The stored value is there, but KEY_ALL_ACCESS on it is refused.
    standin::PutDword(harness::kParameters, "VideoTimeout", 300);
    standin::SetProcessTokenGroups({{"S-1-1-0"}, {"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}, {"S-1-5-32-545"}});
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "N/A\n"});
}

TEST_F(RunSequence, UsageShowsAllBitsSetAsMinusOne) {
    standin::PutDword(harness::kParameters, "VideoTimeout", 0xFFFFFFFF);
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "-1\n"});
}

TEST_F(RunSequence, UsageShowsNotAvailableForAValueLongerThanFourBytes) {
    // Stored as Windows stores a string, in UTF-16; read through the A
    // function it is still longer than four bytes.
    standin::PutValue(harness::kParameters, "VideoTimeout", REG_SZ, standin::BytesOf(u"a string"));
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "N/A\n"});
}

TEST_F(RunSequence, UsageShowsNotAvailableForAnEightByteValue) {
    standin::PutValue(harness::kParameters, "VideoTimeout", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "N/A\n"});
}

TEST_F(RunSequence, AShorterStoredValueFillsOnlyTheLowBytes) {
    standin::PutValue(harness::kParameters, "VideoTimeout", REG_BINARY, {0x34, 0x12});
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "4660\n"});
}

TEST_F(RunSequence, AnUnknownArgumentShowsUsageAndChangesNothing) {
    std::string before = standin::DumpRegistry();
    auto run = RunDuruvude({"install", "bogus"});
    EXPECT_EQ(run.status, -1);
    ASSERT_EQ(standin::Boxes().size(), 1u);
    EXPECT_EQ(standin::Boxes()[0].title, harness::kUsageTitle);
    EXPECT_FALSE(standin::GetService("KTRX").has_value());
    EXPECT_EQ(standin::DumpRegistry(), before);
}

TEST_F(RunSequence, AnInvalidTimeoutIsReportedWithoutACode) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"videotimeout", "abc"}, std::vector<std::string>{"uninstall", "videotimeout", "abc"},
          std::vector<std::string>{"videotimeout", ""}, std::vector<std::string>{"videotimeout"}}) {
        standin::ResetMachine();
        harness::LayOutInstalledDriver();
        // Whatever the thread's last error holds, it names no cause here.
        SetLastError(ERROR_ACCESS_DENIED);
        auto run = RunDuruvude(args);
        EXPECT_EQ(run.status, -1);
        ASSERT_EQ(standin::Boxes().size(), 1u);
        EXPECT_EQ(standin::Boxes()[0].title, harness::kErrorTitle);
        EXPECT_EQ(standin::Boxes()[0].text, "Invalid timeout value; ");
        EXPECT_EQ(standin::Boxes()[0].flags, static_cast<UINT>(0x1010));
        EXPECT_TRUE(standin::GetService("KTRX").has_value());
        EXPECT_EQ(standin::CallsTo("OpenSCManagerA"), 0);
    }
}

TEST_F(RunSequence, ANonAdministratorIsRefusedBeforeTheServiceManager) {
    standin::SetProcessTokenGroups({{"S-1-1-0"}, {"S-1-5-32-545"}});
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{std::string(kAdminRefusal) + "; "});
    EXPECT_EQ(standin::CallsTo("OpenSCManagerA"), 0);
    EXPECT_FALSE(standin::GetService("KTRX").has_value());
}

TEST_F(RunSequence, AServiceManagerThatWillNotOpenIsReportedWithItsCode) {
    standin::FailCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to open Service Control Manager", ERROR_ACCESS_DENIED)});
}

TEST_F(RunSequence, InstallWinsOverUninstallInEitherOrder) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"install", "uninstall"}, std::vector<std::string>{"uninstall", "install"}}) {
        standin::ResetMachine();
        auto run = RunDuruvude(args);
        EXPECT_EQ(run.status, 0);
        ASSERT_TRUE(standin::GetService("KTRX").has_value());
        EXPECT_EQ(standin::GetService("KTRX")->state, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_EQ(standin::CallsTo("DeleteService"), 0);
    }
}

TEST_F(RunSequence, InstallWritesTheTimeoutGivenInEitherPosition) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"install", "videotimeout", "300"},
                                                 std::vector<std::string>{"videotimeout", "300", "install"}}) {
        standin::ResetMachine();
        CurrentVideoTimeout = 20000;
        EXPECT_EQ(RunDuruvude(args).status, 0);
        auto value = standin::GetValue(harness::kParameters, "VideoTimeout");
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->data, (std::vector<BYTE>{0x2C, 0x01, 0, 0}));
    }
}

TEST_F(RunSequence, UninstallWithATimeoutWritesNoTimeout) {
    harness::LayOutInstalledDriver();
    auto run = RunDuruvude({"uninstall", "videotimeout", "300"});
    EXPECT_EQ(run.status, 0);
    for (const auto& call : standin::CallLog()) EXPECT_NE(call, "RegCreateKeyExA");
    // The one value written is "Sources", without KTRX.
    EXPECT_EQ(standin::CallsTo("RegSetValueExA"), 0);
    EXPECT_EQ(standin::CallsTo("RegSetValueExW"), 1);
}

TEST_F(RunSequence, TheTimeoutAloneNeedsTheParametersKeyAndCreatesNone) {
    auto run = RunDuruvude({"videotimeout", "300"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{ErrorText(
                                       "Failed to open HKLM KTRX key, driver not installed ?", ERROR_FILE_NOT_FOUND)});
    EXPECT_FALSE(standin::KeyExists(harness::kParameters));
    EXPECT_FALSE(standin::KeyExists(harness::kServiceKey));
}

TEST_F(RunSequence, TheTimeoutAloneIsWrittenAndTheNoticeShown) {
    standin::PutDword(harness::kParameters, "VideoTimeout", 20000);
    auto run = RunDuruvude({"videotimeout", "-5"});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(standin::Boxes().size(), 1u);
    EXPECT_EQ(standin::Boxes()[0].title, harness::kNoticeTitle);
    EXPECT_EQ(standin::Boxes()[0].text, kNotice);
    EXPECT_EQ(standin::Boxes()[0].flags, static_cast<UINT>(0x40));
    auto value = standin::GetValue(harness::kParameters, "VideoTimeout");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value->data, (std::vector<BYTE>{0xFB, 0xFF, 0xFF, 0xFF}));

    standin::ResetMachine();
    standin::PutDword(harness::kParameters, "VideoTimeout", 0xFFFFFFFF);
    RunDuruvude({});
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kUsageStart + "-1\n"});
}

TEST_F(RunSequence, AFailedTimeoutWriteIsReportedWithTheRegistrysOwnCode) {
    standin::PutDword(harness::kParameters, "VideoTimeout", 20000);
    standin::FailCall("RegSetValueExA", ERROR_ACCESS_DENIED);
    SetLastError(0);
    auto run = RunDuruvude({"videotimeout", "1"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to set HKLM KTRX VideoTimeout value", ERROR_ACCESS_DENIED)});
}

TEST_F(RunSequence, AFailedActionEndsWithMinusOneAndNoBoxOfItsOwn) {
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, "KTRX driver not installed\n");
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_EQ(standin::CallsTo("CloseServiceHandle"), 1);
}

// ---- administrator check

class AdministratorCheck : public StandinTest {};

TEST_F(AdministratorCheck, UsesTheProcessTokenWhenTheThreadHasNone) {
    EXPECT_TRUE(IsAdministrator());
    EXPECT_EQ(standin::CallsTo("OpenThreadToken"), 1);
    EXPECT_EQ(standin::CallsTo("OpenProcessToken"), 1);
    EXPECT_EQ(standin::CallsTo("CloseHandle"), 1);
    EXPECT_EQ(standin::CallsTo("FreeSid"), 1);
    EXPECT_EQ(standin::CallsTo("LocalFree"), 1);
}

TEST_F(AdministratorCheck, AnImpersonationTokenDecidesAlone) {
    standin::SetThreadToken(true, {{"S-1-1-0"}, {"S-1-5-32-545"}});
    EXPECT_FALSE(IsAdministrator());
    EXPECT_EQ(standin::CallsTo("OpenProcessToken"), 0);

    standin::ResetMachine();
    standin::SetProcessTokenGroups({{"S-1-1-0"}});
    standin::SetThreadToken(true, {{"S-1-5-32-544"}});
    EXPECT_TRUE(IsAdministrator());
}

TEST_F(AdministratorCheck, AListedGroupCountsEvenWhenNotEnabled) {
    standin::SetProcessTokenGroups({{"S-1-1-0"}, {"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}});
    EXPECT_TRUE(IsAdministrator());
}

TEST_F(AdministratorCheck, NearMissesDoNotCount) {
    standin::SetProcessTokenGroups({{"S-1-5-32-545"}, {"S-1-5-544"}, {"S-1-5-32-544-1"}, {"S-1-16-32-544"}});
    EXPECT_FALSE(IsAdministrator());
    standin::SetProcessTokenGroups({});
    EXPECT_FALSE(IsAdministrator());
}

TEST_F(AdministratorCheck, EveryFailingStepAnswersNoAndReleasesWhatItTook) {
    const std::pair<const char*, int> steps[] = {
        {"OpenThreadToken", 1},     {"OpenProcessToken", 1}, {"GetTokenInformation", 1},
        {"GetTokenInformation", 2}, {"LocalAlloc", 1},       {"AllocateAndInitializeSid", 1},
    };
    for (const auto& [op, nth] : steps) {
        standin::ResetMachine();
        standin::FailCall(op, ERROR_ACCESS_DENIED, nth);
        EXPECT_FALSE(IsAdministrator()) << op << " #" << nth;
        EXPECT_EQ(standin::Open().Total(), 0) << op << " #" << nth;
    }
}

TEST_F(AdministratorCheck, AFirstTokenQueryThatFailsOtherwiseAnswersNo) {
    standin::FailCall("GetTokenInformation", ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(IsAdministrator());
    EXPECT_EQ(standin::CallsTo("GetTokenInformation"), 1);
}

// ---- reporting

class Reporting : public StandinTest {};

TEST_F(Reporting, CodeZeroGivesTheMessageAndASemicolonOnly) {
    ReportError(kAdminRefusal, 0);
    ASSERT_EQ(standin::Boxes().size(), 1u);
    EXPECT_EQ(standin::Boxes()[0].text, std::string(kAdminRefusal) + "; ");
    EXPECT_EQ(standin::Boxes()[0].title, "DRIVER INSTALLATION ERROR");
    EXPECT_EQ(standin::Boxes()[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR | MB_SYSTEMMODAL));
    EXPECT_EQ(standin::CallsTo("FormatMessageA"), 0);
}

TEST_F(Reporting, ANonZeroCodeAddsTheSystemsTextWithItsLineBreak) {
    ReportError("Failed to start driver", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{"Failed to start driver; The system cannot find the file specified.\r\n"});
}

TEST_F(Reporting, ACodeWithoutTextLeavesTheSemicolon) {
    ReportError("Failed to start driver", 1275);
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{"Failed to start driver; "});
}

TEST_F(Reporting, ATextWithAnInsertIsShownAsItStands) {
    ReportError("Failed to start driver", 193);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{"Failed to start driver; %1 is not a valid Win32 application.\r\n"});
}

// Windows' texts for 577 (the driver's signature was not accepted) on a
// Russian system, in code page 1251: "Не удается проверить цифровую подпись
// этого файла. ..."; and on a Japanese one, in code page 932, whose
// characters after "Windows " take two bytes each.
const std::string kRussian577 =
    "\xCD\xE5 \xF3\xE4\xE0\xE5\xF2\xF1\xFF \xEF\xF0\xEE\xE2\xE5\xF0\xE8\xF2\xFC \xF6\xE8\xF4\xF0\xEE\xE2"
    "\xF3\xFE \xEF\xEE\xE4\xEF\xE8\xF1\xFC \xFD\xF2\xEE\xE3\xEE \xF4\xE0\xE9\xEB\xE0. \xCF\xF0\xE8 \xEF"
    "\xEE\xF1\xEB\xE5\xE4\xED\xE5\xEC \xE8\xE7\xEC\xE5\xED\xE5\xED\xE8\xE8 \xEE\xE1\xEE\xF0\xF3\xE4\xEE"
    "\xE2\xE0\xED\xE8\xFF \xE8\xEB\xE8 \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xED\xEE\xE3\xEE \xEE\xE1\xE5\xF1"
    "\xEF\xE5\xF7\xE5\xED\xE8\xFF \xEC\xEE\xE3\xEB\xE0 \xE1\xFB\xF2\xFC \xEF\xF0\xEE\xE8\xE7\xE2\xE5\xE4"
    "\xE5\xED\xE0 \xF3\xF1\xF2\xE0\xED\xEE\xE2\xEA\xE0 \xED\xE5\xEF\xF0\xE0\xE2\xE8\xEB\xFC\xED\xEE \xEF"
    "\xEE\xE4\xEF\xE8\xF1\xE0\xED\xED\xEE\xE3\xEE \xE8\xEB\xE8 \xEF\xEE\xE2\xF0\xE5\xE6\xE4\xE5\xED\xED"
    "\xEE\xE3\xEE \xF4\xE0\xE9\xEB\xE0 \xEB\xE8\xE1\xEE \xE2\xF0\xE5\xE4\xEE\xED\xEE\xF1\xED\xEE\xE9 \xEF"
    "\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB \xED\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xEE\xE3\xEE \xEF\xF0\xEE\xE8"
    "\xF1\xF5\xEE\xE6\xE4\xE5\xED\xE8\xFF.\r\n";
const std::string kJapanese577 =
    "Windows \x82\xCD\x82\xB1\x82\xCC\x83t\x83@\x83\x43\x83\x8B\x82\xCC\x83\x66\x83W\x83^\x83\x8B\x8F\x90"
    "\x96\xBC\x82\xF0\x8C\x9F\x8F\xD8\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42\x8D\xC5\x8B\xDF\x82"
    "\xCC\x83n\x81[\x83h\x83\x45\x83\x46\x83\x41\x82\xDC\x82\xBD\x82\xCD\x83\x5C\x83t\x83g\x83\x45\x83"
    "\x46\x83\x41\x82\xCC\x95\xCF\x8DX\x82\xC5\x81\x41\x90\xB3\x82\xB5\x82\xAD\x8F\x90\x96\xBC\x82\xB3"
    "\x82\xEA\x82\xC4\x82\xA2\x82\xC8\x82\xA2\x83t\x83@\x83\x43\x83\x8B\x82\xE2\x94j\x91\xB9\x82\xB5\x82"
    "\xBD\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x83\x43\x83\x93\x83X\x83g\x81[\x83\x8B\x82\xB3\x82\xEA\x82"
    "\xBD\x82\xA9\x81\x41\x82\xDC\x82\xBD\x82\xCD\x8Fo\x8F\x8A\x82\xCC\x95s\x96\xBE\x82\xC8\x88\xAB\x88"
    "\xD3\x82\xCC\x82\xA0\x82\xE9\x83\x5C\x83t\x83g\x83\x45\x83\x46\x83\x41\x82\xC5\x82\xA0\x82\xE9\x89"
    "\xC2\x94\x5C\x90\xAB\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB7\x81\x42\r\n";

// The same Russian text in UTF-8, as FormatMessageA gives it where the ANSI
// code page is 65001: two bytes a letter.
const std::string kRussian577Utf8 =
    "Не удается проверить цифровую подпись этого файла. При последнем изменении оборудования или программного "
    "обеспечения могла быть произведена установка неправильно подписанного или поврежденного файла либо "
    "вредоносной программы неизвестного происхождения.\r\n";
// Half-width katakana of code page 932 are single bytes of 0xA1 to 0xDF.
const std::string kKatakana = "Windows " + std::string(300, '\xB1');

// The box holds 259 characters: a message that fills it alone, and system
// texts that fit (byte for byte, line break included) or are cut after the
// last whole character that leaves room for "...", with no blank or line
// break before it.
TEST_F(Reporting, ATextLongerThanTheBoxKeepsAllThatFits) {
    const struct {
        const char* name;
        std::string message;
        DWORD code;
        UINT codePage;
        std::string text;  // the system's text for code; empty: the English one
        std::string box;
    } cases[] = {
        {"message alone", std::string(300, 'x'), ERROR_FILE_NOT_FOUND, 1252, "", std::string(259, 'x')},
        {"a few characters left", std::string(240, 'y'), ERROR_FILE_NOT_FOUND, 1252, "",
         std::string(240, 'y') + "; The system can..."},
        {"cut after a blank", std::string(243, 'y'), ERROR_FILE_NOT_FOUND, 1252, "",
         std::string(243, 'y') + "; The system..."},
        {"cut after a line break", std::string(243, 'y'), 1234, 1252, "Cannot do\r\nthat now.\r\n",
         std::string(243, 'y') + "; Cannot do..."},
        {"no room for more than the cut", std::string(254, 'z'), ERROR_FILE_NOT_FOUND, 1252, "",
         std::string(254, 'z') + "; "},
        {"English 577 fits", "Failed to start driver", 577, 1252, "",
         harness::ErrorText("Failed to start driver", 577)},
        {"Russian 577", "Failed to start driver", 577, 1251, kRussian577,
         "Failed to start driver; " + kRussian577.substr(0, 232) + "..."},
        {"Japanese 577, cut between characters", "Failed to delete KTRX service", 577, 932, kJapanese577,
         "Failed to delete KTRX service; " + kJapanese577.substr(0, 224) + "..."},
        {"UTF-8, cut between characters", "Failed to stop driver", 577, CP_UTF8, kRussian577Utf8,
         "Failed to stop driver; " + kRussian577Utf8.substr(0, 232) + "..."},
        {"932, single-byte katakana", "Failed to start driver", 577, 932, kKatakana,
         "Failed to start driver; " + kKatakana.substr(0, 232) + "..."},
        // After "Failed to start driver; " the room is 235 bytes and the terminator.
        {"visible part fits exactly", "Failed to start driver", 1234, 1252, std::string(235, 'v') + "\r\n",
         "Failed to start driver; " + std::string(235, 'v')},
        {"line break filling the room exactly", "Failed to start driver", 1234, 1252, std::string(234, 'v') + "\r\n",
         "Failed to start driver; " + std::string(234, 'v')},
        {"visible part filling the room exactly", "Failed to start driver", 1234, 1252, std::string(236, 'v'),
         "Failed to start driver; " + std::string(232, 'v') + "..."},
        {"UTF-8, cut inside a three-byte character", "Failed to start driver", 1234, CP_UTF8,
         std::string(230, 'e') + "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
         "Failed to start driver; " + std::string(230, 'e') + "..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        standin::ResetMachine();
        standin::SetCodePage(c.codePage);
        if (!c.text.empty()) standin::SetSystemText(c.code, c.text);
        ReportError(c.message.c_str(), c.code);
        EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{c.box});
        EXPECT_EQ(standin::Open().localBuffers, 0);
    }
}

TEST_F(Reporting, ProgressIsWrittenAsFormatted) {
    std::string out = harness::Capture([] {
        PrintProgress("%s successfully installed\n", "Kestrix driver");
        PrintProgress("\nStartService SUCCESS\n");
    });
    EXPECT_EQ(out, "Kestrix driver successfully installed\n\nStartService SUCCESS\n");
}

}  // namespace
