// Runs nobody watches: no box where nobody can see one, and one run at a
// time through the installation lock.
#include <algorithm>

#include "harness.h"

namespace {

using harness::RunDuruvude;
using harness::StandinTest;

const char kLock[] = "Global\\DURUVUDE-KTRX";
// One line a message: the box's line breaks written as " | ".
const char kUsage[] =
    "Tolvane Kestrix Driver Installer/Uninstaller: USAGE: | DURUVUDE <option(s)> | Options are: | install / "
    "uninstall | videotimeout <xxx> | Current Configuration: | VideoTimeout N/A\n";
const char kNotice[] =
    "Tolvane Driver Installer/Uninstaller: Driver configuration changes have been made. | You must now restart "
    "the driver or reboot the system\n";

class Unattended : public StandinTest {};

// Every kind of box, in a window station nobody can see: the same status
// and effects as with a desktop, the box's title and text on standard error.
TEST_F(Unattended, EveryBoxGoesToStandardErrorInAnInvisibleStation) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<void()> layOut;
        int status;
        std::string errors;
    };
    std::vector<Case> cases = {
        {"usage", {}, [] {}, -1, kUsage},
        {"invalid timeout", {"videotimeout", "x"}, [] {}, -1, "DRIVER INSTALLATION ERROR: Invalid timeout value; \n"},
        {"administrator refusal",
         {"install"},
         [] { standin::SetProcessTokenGroups({{"S-1-1-0"}}); },
         -1,
         "DRIVER INSTALLATION ERROR: Administrator privileges are required to install/configure the driver; \n"},
        {"already installed",
         {"install"},
         [] { harness::LayOutInstalledDriver(SERVICE_RUNNING); },
         0,
         "DRIVER INSTALLATION ERROR: Attempt to install driver, driver already installed; \n"},
        {"configuration notice",
         {"videotimeout", "300"},
         [] { harness::LayOutInstalledDriver(SERVICE_RUNNING); },
         0,
         kNotice},
        {"failing start, a code's text without its line break",
         {"install"},
         [] { standin::RemoveFile("C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS"); },
         0,
         "DRIVER INSTALLATION ERROR: Failed to start driver; The system cannot find the file specified.\n"},
        {"failing start, the driver's signature not accepted",
         {"install"},
         [] { standin::FailCall("StartServiceA", 577); },
         0,
         "DRIVER INSTALLATION ERROR: Failed to start driver; Windows cannot verify the digital signature for this "
         "file. A recent hardware or software change might have installed a file that is signed incorrectly or "
         "damaged, or that might be malicious software from an unknown source.\n"},
        {"failing start, a system text of two lines",
         {"install"},
         [] {
             standin::SetSystemText(1234, "Cannot do\r\nthat now.\r\n");
             standin::FailCall("StartServiceA", 1234);
         },
         0,
         "DRIVER INSTALLATION ERROR: Failed to start driver; Cannot do | that now.\n"},
        {"a message of two lines",
         {"install"},
         [] { standin::FailCall("StartServiceA", ERROR_SERVICE_MARKED_FOR_DELETE); },
         0,
         "DRIVER INSTALLATION ERROR: Attempt to start driver, service marked for delete. | Please restart the "
         "system.; \n"},
    };
    // An administrator who has not elevated: Administrators for deny only.
    // The service manager refuses at once; nothing else is said or done.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"install"}, {"uninstall"}, {"videotimeout", "300"}})
        cases.push_back(
            {"filtered token", args,
             [] {
                 harness::LayOutInstalledDriver(SERVICE_STOPPED);
                 standin::SetProcessTokenGroups({{"S-1-1-0"}, {"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}});
             },
             -1,
             args.empty() ? kUsage
                          : "DRIVER INSTALLATION ERROR: Failed to open Service Control Manager; Access is "
                            "denied.\n"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto layOut = [&c] {
            standin::ResetMachine();
            CurrentVideoTimeout = 20000;
            c.layOut();
        };
        layOut();
        auto visible = RunDuruvude(c.args);
        const std::string effects = standin::DumpRegistry();
        ASSERT_EQ(standin::Boxes().size(), 1u);
        EXPECT_EQ(visible.errors, "");

        layOut();
        standin::SetWindowStation(false);
        const std::string before = standin::DumpRegistry();
        auto hidden = RunDuruvude(c.args);
        EXPECT_EQ(standin::CallsTo("MessageBoxA"), 0);
        // A run that fails here fails before it changes or says anything else.
        if (c.status == -1) {
            EXPECT_EQ(hidden.output, "");
            EXPECT_EQ(standin::DumpRegistry(), before);
            EXPECT_EQ(standin::CallsTo("CreateMutexA"), 0);
        }
        EXPECT_EQ(hidden.status, c.status);
        EXPECT_EQ(hidden.status, visible.status);
        EXPECT_EQ(hidden.output, visible.output);
        EXPECT_EQ(hidden.errors, c.errors);
        EXPECT_EQ(standin::DumpRegistry(), effects);

        // USER32 that cannot be loaded, on a desktop: the same as unseen.
        layOut();
        standin::SetUser32Loads(false);
        auto withoutUser32 = RunDuruvude(c.args);
        EXPECT_EQ(withoutUser32.status, c.status);
        EXPECT_EQ(withoutUser32.errors, c.errors);
        EXPECT_EQ(standin::DumpRegistry(), effects);

        // A box that cannot be made, on a desktop: the line instead.
        layOut();
        standin::FailCall("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY);
        auto boxFailed = RunDuruvude(c.args);
        EXPECT_EQ(boxFailed.status, c.status);
        EXPECT_EQ(boxFailed.errors, c.errors);
    }
}

// Standard error that is a console gets the line in UTF-16, from the ANSI
// code page the system's text is in; a pipe gets the ANSI bytes.
TEST_F(Unattended, AConsoleGetsTheLineInUnicode) {
    for (bool console : {true, false}) {
        standin::ResetMachine();
        standin::SetWindowStation(false);
        standin::SetCodePage(1251);
        standin::SetSystemText(ERROR_ACCESS_DENIED,
                               "\xCE\xF2\xEA\xE0\xE7\xE0\xED\xEE \xE2 \xE4\xEE\xF1\xF2\xF3\xEF\xE5.\r\n");
        standin::SetStandardErrorConsole(console);
        standin::FailCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
        auto run = RunDuruvude({"install"});
        const char16_t kLine[] =
            u"DRIVER INSTALLATION ERROR: Failed to open Service Control Manager; Отказано в доступе.\n";
        EXPECT_EQ(standin::ConsoleText(), console ? kLine : u"");
        EXPECT_EQ(run.errors, console ? ""
                                      : "DRIVER INSTALLATION ERROR: Failed to open Service Control Manager; "
                                        "\xCE\xF2\xEA\xE0\xE7\xE0\xED\xEE \xE2 \xE4\xEE\xF1\xF2\xF3\xEF\xE5.\n");
    }
}

TEST_F(Unattended, Session0IsInvisibleOnlyWhileTheConsoleBelongsToAnotherSession) {
    const struct {
        DWORD processSession, consoleSession;
        bool boxShown;
    } cases[] = {
        {0, 1, false},           // a service or deployment agent since session 0 isolation
        {0, 0xFFFFFFFF, false},  // no session attached to the console
        {0, 0, true},            // before session 0 isolation: the console is session 0
        {1, 1, true},            // an administrator at the console
        {2, 1, true},            // a remote desktop session
    };
    for (const auto& c : cases) {
        standin::ResetMachine();
        standin::SetSessions(c.processSession, c.consoleSession);
        auto run = RunDuruvude({});
        EXPECT_EQ(standin::Boxes().size(), c.boxShown ? 1u : 0u) << c.processSession << " " << c.consoleSession;
        EXPECT_EQ(run.errors, c.boxShown ? "" : kUsage);
        EXPECT_EQ(standin::CallsTo("LoadLibraryA"), c.boxShown ? 1 : 0);
    }
}

TEST_F(Unattended, WhatCannotBeToldShowsTheBoxAsBefore) {
    for (const char* op : {"GetProcessWindowStation", "GetUserObjectInformationA"}) {
        standin::ResetMachine();
        standin::SetWindowStation(false);
        standin::FailCall(op, ERROR_ACCESS_DENIED);
        auto run = RunDuruvude({});
        EXPECT_EQ(standin::Boxes().size(), 1u) << op;
        EXPECT_EQ(run.errors, "") << op;
    }
    // An unknown session leaves the decision to the window station.
    standin::ResetMachine();
    standin::SetSessions(0, 1);
    standin::FailCall("ProcessIdToSessionId", ERROR_ACCESS_DENIED);
    RunDuruvude({});
    EXPECT_EQ(standin::Boxes().size(), 1u);
}

TEST_F(Unattended, ARunWithoutABoxAsksNothingAboutTheDesktop) {
    RunDuruvude({"install"});
    RunDuruvude({"uninstall"});
    EXPECT_TRUE(standin::Boxes().empty());
    for (const char* op : {"ProcessIdToSessionId", "GetProcessWindowStation", "GetUserObjectInformationA"})
        EXPECT_EQ(standin::CallsTo(op), 0) << op;
}

// The installation lock, branch by branch, around a fresh install.
TEST_F(Unattended, TheInstallationLock) {
    const char kWaiting[] = "Waiting for another DURUVUDE run to finish\n";
    const char kWithout[] = "Going on without the installation lock\n";
    const char kTimedOut[] = "Another DURUVUDE run did not finish within 60 seconds; The wait operation timed out.\r\n";
    struct Case {
        const char* name;
        std::function<void()> layOut;
        std::string before;  // what precedes the installation's own lines
        std::vector<DWORD> waits;
        bool installs;
    };
    const std::vector<Case> cases = {
        {"free", [] {}, "", {0}, true},
        {"held, let go while waiting",
         [] { standin::PutMutex(kLock, {.held = true, .releasedAfter = 2500}); },
         kWaiting,
         {0, 60000},
         true},
        {"abandoned by a killed run", [] { standin::PutMutex(kLock, {.abandoned = true}); }, "", {0}, true},
        {"made by LocalSystem", [] { standin::PutMutex(kLock, {.owner = "S-1-5-18"}); }, "", {0}, true},
        {"held for longer than a minute",
         [] { standin::PutMutex(kLock, {.held = true}); },
         kWaiting,
         {0, 60000},
         false},
        {"made by another user",
         [] { standin::PutMutex(kLock, {.owner = "S-1-5-21-7-8-9-1001", .held = true}); },
         kWithout,
         {},
         true},
        {"refusing this caller",
         [] { standin::PutMutex(kLock, {.refusesCaller = true, .held = true}); },
         kWithout,
         {},
         true},
        {"owner unknown",
         [] {
             standin::PutMutex(kLock, {.held = true});
             standin::FailCall("GetSecurityInfo", ERROR_ACCESS_DENIED);
         },
         kWithout,
         {},
         true},
        {"no descriptor",
         [] { standin::FailCall("ConvertStringSecurityDescriptorToSecurityDescriptorA", ERROR_NOT_ENOUGH_MEMORY); },
         kWithout,
         {},
         true},
        {"failed wait", [] { standin::FailCall("WaitForSingleObject", ERROR_INVALID_HANDLE); }, kWithout, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        standin::ResetMachine();
        c.layOut();
        const bool preExisting = standin::GetMutex(kLock).has_value();
        auto run = RunDuruvude({"install"});
        EXPECT_EQ(standin::Waits(), c.waits);
        if (c.installs) {
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.output,
                      c.before +
                          "Adding driver keys to registry\nAdding event logging capabilities\nKestrix "
                          "driver successfully installed\n\nStartService SUCCESS\nKestrix driver started\n");
            EXPECT_TRUE(standin::Boxes().empty());
        } else {
            EXPECT_EQ(run.status, -1);
            EXPECT_EQ(run.output, c.before);
            EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{kTimedOut});
            EXPECT_EQ(standin::CallsTo("CreateServiceA"), 0);
            EXPECT_FALSE(standin::GetService("KTRX").has_value());
        }
        // Let go: a lock another run holds is still that run's, one this run
        // made is gone with its handle.
        auto left = standin::GetMutex(kLock);
        EXPECT_EQ(left.has_value(), preExisting);
        if (left) {
            EXPECT_FALSE(left->heldByCaller);
            EXPECT_EQ(left->handles, 1);
        }
        EXPECT_EQ(standin::Open().Total(), 0);
    }
}

TEST_F(Unattended, TheLockIsMadeForAdministratorsAndItAndTheServiceManagerAreLetGoBeforeTheNotice) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    RunDuruvude({"videotimeout", "300"});
    ASSERT_EQ(standin::MutexesCreated().size(), 1u);
    EXPECT_EQ(standin::MutexesCreated()[0].first, kLock);
    EXPECT_EQ(standin::MutexesCreated()[0].second, "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)");
    // After the write, before the notice waits for its reader.
    const auto& log = standin::CallLog();
    auto released = std::find(log.begin(), log.end(), "ReleaseMutex");
    EXPECT_LT(std::find(log.begin(), log.end(), "RegSetValueExA"), released);
    auto closed = std::find(log.begin(), log.end(), "CloseServiceHandle");
    EXPECT_LT(released, closed);
    EXPECT_LT(closed, std::find(log.begin(), log.end(), "MessageBoxA"));

    // Runs that change nothing take no lock, nor one the service manager
    // refuses: the lock comes after it.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"videotimeout", "x"}, {"bogus"}, {"uninstall"}}) {
        standin::ResetMachine();
        standin::FailCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
        RunDuruvude(args);
        EXPECT_EQ(standin::CallsTo("CreateMutexA"), 0);
    }
}

}  // namespace
