// Runs nobody watches, under Wine: the EXE in a window station of its own
// that nobody can see, as a deployment agent starts it, and overlapping
// runs.
#include "wine_support.h"
// After windows.h, which wine_support.h brings.
#include <sddl.h>

namespace {

using bed::WineTest;

const char kLock[] = "Global\\DURUVUDE-KTRX";

RunOutcome RunUnattended(const std::vector<std::string>& args) {
    std::string commandLine = QuoteArgument(bed::PathFromEnvironment("DURUVUDE_EXE"));
    for (const auto& a : args) commandLine += " " + QuoteArgument(a);
    RunOutcome outcome = RunAnsweringBoxes(commandLine, 20000, {}, kUnattendedDesktop);
    EXPECT_TRUE(outcome.started) << commandLine << ": error " << outcome.startError;
    EXPECT_FALSE(outcome.timedOut) << commandLine << " hung";
    EXPECT_TRUE(outcome.boxes.empty());
    return outcome;
}

// An error box's line on standard error: its text without the line break
// that the system's text ends with.
std::string ErrorLine(const std::string& message, DWORD code) {
    std::string text = bed::ErrorText(message, code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return std::string(bed::kErrorTitle) + ": " + text + "\n";
}

// Without this, the tests below could pass for the wrong reason: in this bed
// a plain box in such a station does block, as on Windows.
TEST_F(WineTest, ABoxInAStationNobodyCanSeeBlocks) {
    std::string probe = QuoteArgument(bed::PathFromEnvironment("DURUVUDE_PROBE"));
    RunOutcome outcome = RunAnsweringBoxes(probe, 3000, {}, kUnattendedDesktop);
    ASSERT_TRUE(outcome.started) << "error " << outcome.startError;
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_EQ(outcome.output, "first line\n");
    EXPECT_TRUE(outcome.boxes.empty());
}

TEST_F(WineTest, UnattendedRunsNeverBlockAndSayOnStandardErrorWhatABoxWouldHave) {
    RunOutcome usage = RunUnattended({});
    EXPECT_EQ(usage.exitCode, 0xFFFFFFFFu);
    EXPECT_EQ(usage.errors, std::string(bed::kUsageTitle) +
                                ": USAGE: | DURUVUDE <option(s)> | Options are: | install / uninstall | videotimeout "
                                "<xxx> | Current Configuration: | VideoTimeout N/A\n");

    RunOutcome invalid = RunUnattended({"videotimeout", "abc"});
    EXPECT_EQ(invalid.exitCode, 0xFFFFFFFFu);
    EXPECT_EQ(invalid.errors, ErrorLine("Invalid timeout value", 0));

    RunOutcome notInstalled = RunUnattended({"uninstall"});
    EXPECT_EQ(notInstalled.exitCode, 0xFFFFFFFFu);
    EXPECT_EQ(notInstalled.output, "KTRX driver not installed\n");
    EXPECT_EQ(notInstalled.errors, "");

    RunOutcome install = RunUnattended({"install"});
    EXPECT_EQ(install.exitCode, 0u);
    EXPECT_EQ(install.errors, "");
    EXPECT_TRUE(bed::DeviceOpens());

    RunOutcome reinstall = RunUnattended({"install"});
    EXPECT_EQ(reinstall.exitCode, 0u);
    EXPECT_EQ(reinstall.errors, ErrorLine("Attempt to install driver, driver already installed", 0));

    RunOutcome timeout = RunUnattended({"videotimeout", "300"});
    EXPECT_EQ(timeout.exitCode, 0u);
    EXPECT_EQ(timeout.errors, std::string(bed::kNoticeTitle) +
                                  ": Driver configuration changes have been made. | You must now restart the driver or "
                                  "reboot the system\n");
    EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout")->bytes, (std::vector<BYTE>{0x2C, 1, 0, 0}));

    RunOutcome uninstall = RunUnattended({"uninstall"});
    EXPECT_EQ(uninstall.exitCode, 0u);
    EXPECT_EQ(uninstall.output, "Kestrix driver removed\n");
    EXPECT_EQ(uninstall.errors, "");
    EXPECT_FALSE(bed::ServiceState().has_value());

    bed::RemoveDriverFile();
    RunOutcome failedStart = RunUnattended({"install"});
    EXPECT_EQ(failedStart.exitCode, 0u);
    // Windows gives 2 for a missing image, Wine 1114.
    EXPECT_TRUE(failedStart.errors == ErrorLine("Failed to start driver", ERROR_FILE_NOT_FOUND) ||
                failedStart.errors == ErrorLine("Failed to start driver", ERROR_DLL_INIT_FAILED))
        << failedStart.errors;
}

TEST_F(WineTest, ALockHeldByAnotherRunIsWaitedFor) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE held = CreateMutexA(&attributes, TRUE, kLock);
    LocalFree(descriptor);
    ASSERT_NE(held, nullptr) << GetLastError();
    // Let go once the tool says it waits.
    RunnerHooks hooks;
    bool released = false;
    hooks.onOutput = [&](const std::string&) {
        if (!released) released = ReleaseMutex(held) != FALSE;
    };
    std::string commandLine = QuoteArgument(bed::PathFromEnvironment("DURUVUDE_EXE")) + " install";
    RunOutcome run = RunAnsweringBoxes(commandLine, 60000, hooks);
    CloseHandle(held);
    EXPECT_TRUE(released);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output.rfind("Waiting for another DURUVUDE run to finish\nAdding driver keys to registry\n", 0), 0u)
        << run.output;
}

TEST_F(WineTest, ALockThatAnotherUserMadeIsNotWaitedFor) {
    // Made with the default security: owned by this user, not Administrators.
    HANDLE squatter = CreateMutexA(nullptr, TRUE, kLock);
    ASSERT_NE(squatter, nullptr);
    RunOutcome run = bed::RunDuruvude({"install"});
    CloseHandle(squatter);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output.rfind("Going on without the installation lock\nAdding driver keys to registry\n", 0), 0u)
        << run.output;
}

struct Overlapping {
    std::string commandLine;
    bool install = false;
    RunOutcome outcome;
};

DWORD WINAPI RunOne(LPVOID parameter) {
    auto* run = static_cast<Overlapping*>(parameter);
    run->outcome = RunAnsweringBoxes(run->commandLine, 120000);
    return 0;
}

// "Sources" without its KTRX entries, and how many there were.
std::vector<BYTE> OtherSources(const std::vector<BYTE>& data, int& ktrx) {
    std::vector<BYTE> kept;
    ktrx = 0;
    size_t start = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != 0) continue;
        std::string entry(data.begin() + static_cast<std::ptrdiff_t>(start),
                          data.begin() + static_cast<std::ptrdiff_t>(i));
        if (lstrcmpiA(entry.c_str(), "KTRX") == 0)
            ++ktrx;
        else
            kept.insert(kept.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
                        data.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        start = i + 1;
    }
    return kept;
}

TEST_F(WineTest, EightOverlappingRunsDoNotCollide) {
    bed::RegData seeded{REG_MULTI_SZ, {}};
    for (const char* name : {"EventLog", "Tcpip", "Service Control Manager"})
        seeded.bytes.insert(seeded.bytes.end(), name, name + lstrlenA(name) + 1);
    seeded.bytes.push_back(0);
    bed::WriteValue(bed::kSystemLog, "Sources", seeded);
    int none = 0;
    const std::vector<BYTE> others = OtherSources(seeded.bytes, none);

    const std::string exe = QuoteArgument(bed::PathFromEnvironment("DURUVUDE_EXE"));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<Overlapping> runs(8);
        std::vector<HANDLE> threads;
        for (size_t i = 0; i < runs.size(); ++i) {
            runs[i].install = (i + static_cast<size_t>(round)) % 2 == 0;
            runs[i].commandLine = exe + (runs[i].install ? " install" : " uninstall");
            threads.push_back(CreateThread(nullptr, 0, RunOne, &runs[i], 0, nullptr));
        }
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
        for (HANDLE t : threads) CloseHandle(t);

        for (const auto& run : runs) {
            const RunOutcome& o = run.outcome;
            EXPECT_FALSE(o.timedOut) << run.commandLine;
            for (const auto& box : o.boxes) {
                EXPECT_EQ(box.text.find("marked for delete"), std::string::npos) << box.text;
                if (run.install) {
                    EXPECT_EQ(box.text, "Attempt to install driver, driver already installed; ");
                }
            }
            EXPECT_EQ(o.output.find("Going on without"), std::string::npos) << o.output;
            if (run.install || o.exitCode == 0)
                EXPECT_EQ(o.exitCode, 0u) << run.commandLine << "\n" << o.output;
            else
                EXPECT_NE(o.output.find("KTRX driver not installed\n"), std::string::npos) << o.output;
        }
        // Whole, one way or the other.
        const bool installed = bed::ServiceState().has_value();
        int installs = 0, removals = 0, notInstalled = 0, waited = 0;
        for (const auto& run : runs) {
            if (run.outcome.exitCode == 0) ++(run.install ? installs : removals);
            if (run.outcome.output.find("KTRX driver not installed") != std::string::npos) ++notInstalled;
            if (run.outcome.output.find("Waiting for another") != std::string::npos) ++waited;
        }
        std::printf(
            "overlap round %d: %d installs and %d removals succeeded, %d found nothing to remove, %d waited; %s\n",
            round, installs, removals, notInstalled, waited, installed ? "installed" : "not installed");
        EXPECT_EQ(bed::KeyExists(bed::kServiceKey), installed);
        EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout").has_value(), installed);
        EXPECT_EQ(bed::KeyExists(bed::kSourceKey), installed);
        int ktrx = 0;
        EXPECT_EQ(OtherSources(bed::ReadValue(bed::kSystemLog, "Sources")->bytes, ktrx), others);
        EXPECT_EQ(ktrx, installed ? 1 : 0);
    }
}

}  // namespace
