// "install" end to end under Wine, with the fixture driver.
#include <algorithm>

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

}  // namespace
