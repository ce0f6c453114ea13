// "install" end to end under Wine, with the fixture driver.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "wine_support.h"

namespace {

using bed::WineTest;

const char kFreshInstall[] =
    "Adding driver keys to registry\nAdding event logging capabilities\nKestrix driver successfully installed\n"
    "\nStartService SUCCESS\nKestrix driver started\n";

std::vector<BYTE> Dword(DWORD value) {
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

// Run with the 32-bit EXE, this also pins what a 32-bit installer on a 64-bit
// system relies on: the service manager keeps a kernel driver's image path
// as given (the native system32, not SysWOW64), and the 64-bit driver there
// is the one that loads and runs.
TEST_F(WineTest, AFreshInstallRegistersWritesAndStartsTheDriver) {
    RunOutcome run = bed::RunDuruvude({"install"});
    EXPECT_EQ(run.output, kFreshInstall);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(run.exitCode, 0u);

    auto config = bed::QueryConfig();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->serviceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(config->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config->loadOrderGroup, "Extended Base");
    EXPECT_EQ(config->displayName, "Kestrix driver");
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    EXPECT_EQ(lstrcmpiA(config->binaryPath.c_str(), (std::string(directory) + "\\DRIVERS\\KTRX.SYS").c_str()), 0)
        << config->binaryPath;

    auto timeout = bed::ReadValue(bed::kParametersKey, "VideoTimeout");
    ASSERT_TRUE(timeout.has_value());
    EXPECT_EQ(timeout->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(timeout->bytes, Dword(20000));
    EXPECT_TRUE(bed::KeyExists(bed::kSourceKey));
    auto entries = bed::SourcesEntries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "KTRX"), entries.end());
    EXPECT_TRUE(bed::DeviceOpens());
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(WineTest, InstallingAgainSaysSoRewritesTheTimeoutAndFindsTheDriverRunning) {
    ASSERT_EQ(bed::RunDuruvude({"install", "videotimeout", "300"}).exitCode, 0u);
    EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout")->bytes, Dword(300));

    RunOutcome run = bed::RunDuruvude({"INSTALL"});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, bed::kErrorTitle);
    EXPECT_EQ(run.boxes[0].text, "Attempt to install driver, driver already installed; ");
    EXPECT_EQ(run.output,
              "Adding driver keys to registry\nAdding event logging capabilities\n"
              "Kestrix driver successfully installed\nKestrix driver is already running\n");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout")->bytes, Dword(20000));
    auto entries = bed::SourcesEntries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "KTRX"), 1);
}

TEST_F(WineTest, InstallWithATimeoutWritesIt) {
    RunOutcome run = bed::RunDuruvude({"videotimeout", "-5", "install"});
    EXPECT_EQ(run.output, kFreshInstall);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout")->bytes, Dword(static_cast<DWORD>(-5)));
}

TEST_F(WineTest, AMissingDriverFileStillInstallsButTheStartFails) {
    bed::RemoveDriverFile();
    RunOutcome run = bed::RunDuruvude({"install"});
    EXPECT_EQ(run.output,
              "Adding driver keys to registry\nAdding event logging capabilities\n"
              "Kestrix driver successfully installed\n");
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, bed::kErrorTitle);
    // Windows gives 2 for a missing image, Wine 1114: whichever, its own text follows.
    EXPECT_EQ(run.boxes[0].text.rfind("Failed to start driver; ", 0), 0u) << run.boxes[0].text;
    EXPECT_GT(run.boxes[0].text.size(), std::string("Failed to start driver; ").size());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    // Each line is out before the box that follows it.
    EXPECT_EQ(run.transcript, run.output + "[" + bed::kErrorTitle + "] " + run.boxes[0].text + "\n");
}

TEST_F(WineTest, ADeviceThatRefusesToOpenCountsAsNotRunning) {
    bed::PlaceDriver("KTRX-REFUSE.SYS");
    ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    RunOutcome run = bed::RunDuruvude({"install"});
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[0].text, "Attempt to install driver, driver already installed; ");
    EXPECT_EQ(run.boxes[1].text, bed::ErrorText("Failed to start driver", ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.transcript, std::string("[") + bed::kErrorTitle + "] " + run.boxes[0].text + "\n" + run.output + "[" +
                                  bed::kErrorTitle + "] " + run.boxes[1].text + "\n");
}

// The administrator's guide's Intune install command, as printed there, run
// from a package folder holding DURUVUDE.EXE and KTRX.SYS, unattended (as
// the agent runs it), through the 32-bit cmd.exe (as the Intune management
// extension starts it) and the 64-bit one: the driver lands where the
// service's image path points, and it runs. The command the guide gave
// before copied through System32, which a 32-bit process is sent to
// SysWOW64 for: the install ended with 0 and no driver running. (Wine's cmd
// runs what follows && even after a failed copy, so that half of the
// command cannot be checked here.)
std::string GuideLine(const char* label) {
    std::ifstream guide(std::getenv("DURUVUDE_GUIDE"));
    for (std::string line; std::getline(guide, line);) {
        const size_t at = line.find(label);
        if (at != std::string::npos) return line.substr(line.find_first_not_of(' ', at + std::strlen(label)));
    }
    return {};
}

TEST_F(WineTest, TheGuidesIntuneCommandPutsTheDriverWhereTheServiceLoadsItFromEitherCmd) {
    const std::string guide = GuideLine("  install command");
    ASSERT_EQ(guide.rfind("cmd /c \"", 0), 0u) << guide;
    const std::string before = "cmd /c \"copy /y KTRX.SYS %WINDIR%\\System32\\DRIVERS\\ && DURUVUDE.EXE install\"";
    const struct {
        const char* cmd;
        const std::string& command;
        bool driverRuns;
    } cases[] = {
        {"C:\\windows\\syswow64\\cmd.exe", guide, true},
        {"C:\\windows\\system32\\cmd.exe", guide, true},
        {"C:\\windows\\syswow64\\cmd.exe", before, false},
    };
    char temp[MAX_PATH] = {}, previous[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    GetCurrentDirectoryA(MAX_PATH, previous);
    const std::string package = std::string(temp) + "duruvude-intune";
    CreateDirectoryA(package.c_str(), nullptr);
    ASSERT_TRUE(
        CopyFileA(bed::PathFromEnvironment("DURUVUDE_EXE").c_str(), (package + "\\DURUVUDE.EXE").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((bed::PathFromEnvironment("DURUVUDE_FIXTURES") + "\\KTRX.SYS").c_str(),
                          (package + "\\KTRX.SYS").c_str(), FALSE));
    // Windows has a SysWOW64\drivers folder; a new Wine prefix does not.
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string wowDriver = std::string(windows) + "\\syswow64\\drivers\\KTRX.SYS";
    CreateDirectoryA((std::string(windows) + "\\syswow64\\drivers").c_str(), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + " " + c.command);
        if (std::strstr(c.cmd, "syswow64") && bed::SkipsThirtyTwoBit(std::string(c.cmd) + " " + c.command)) continue;
        bed::RemoveKtrx();
        bed::RemoveDriverFile();
        DeleteFileA(wowDriver.c_str());
        ASSERT_TRUE(SetCurrentDirectoryA(package.c_str()));
        RunOutcome run = RunAnsweringBoxes(c.cmd + c.command.substr(3), 60000, {}, kUnattendedDesktop);
        SetCurrentDirectoryA(previous);
        EXPECT_TRUE(run.started) << run.startError;
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 0u) << run.output << run.errors;

        auto config = bed::QueryConfig();
        ASSERT_TRUE(config.has_value());
        const std::string& image = config->binaryPath;
        // This test program is 64-bit: it sees the folder the kernel loads from.
        EXPECT_EQ(GetFileAttributesA(image.c_str()) != INVALID_FILE_ATTRIBUTES, c.driverRuns) << image;
        EXPECT_EQ(bed::ServiceState() == SERVICE_RUNNING, c.driverRuns);
        EXPECT_EQ(bed::DeviceOpens(), c.driverRuns);
        EXPECT_EQ(run.errors.find("DRIVER INSTALLATION ERROR: Failed to start driver; ") != std::string::npos,
                  !c.driverRuns)
            << run.errors;
    }
    DeleteFileA(wowDriver.c_str());
    DeleteFileA((package + "\\DURUVUDE.EXE").c_str());
    DeleteFileA((package + "\\KTRX.SYS").c_str());
    RemoveDirectoryA(package.c_str());
}

}  // namespace
