// "install" on the stand-in: every branch of the installation and the start.
#include <algorithm>

#include "harness.h"
#include "service/service.h"

namespace {

using harness::ErrorText;
using harness::RunDuruvude;
using harness::StandinTest;

const char kFreshInstall[] =
    "Adding driver keys to registry\nAdding event logging capabilities\nKestrix driver successfully installed\n"
    "\nStartService SUCCESS\nKestrix driver started\n";
const char kRegistered[] =
    "Adding driver keys to registry\nAdding event logging capabilities\nKestrix driver successfully installed\n";

class Install : public StandinTest {};

TEST_F(Install, AFreshInstallRegistersConfiguresAndStartsTheDriver) {
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kFreshInstall);
    EXPECT_TRUE(standin::Boxes().empty());
    auto service = standin::GetService("KTRX");
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(service->displayName, "Kestrix driver");
    EXPECT_EQ(service->binaryPath, "C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS");
    EXPECT_EQ(service->loadOrderGroup, "Extended Base");
    EXPECT_EQ(service->serviceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(service->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(service->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(service->state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(standin::GetValue(harness::kParameters, "VideoTimeout"),
              (standin::RegValue{REG_DWORD, {0x20, 0x4E, 0, 0}}));
    auto entries = harness::SourcesEntries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "KTRX"), 1);
    EXPECT_EQ(standin::GetDevice("KTRX"), standin::DeviceState::Opens);
    // Both keys the installation creates survive a restart.
    EXPECT_EQ(standin::KeyCreateOptions(harness::kParameters), static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
    EXPECT_EQ(standin::KeyCreateOptions(harness::kSourceKey), static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
}

TEST_F(Install, AServiceMarkedForDeleteEndsTheInstallation) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    standin::FailCall("CreateServiceA", ERROR_SERVICE_MARKED_FOR_DELETE);
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{
                  "Attempt to install driver, service marked for delete.\nPlease restart the system.; "});
}

TEST_F(Install, AnExistingServiceIsKeptAsItIsAndTheRestRedone) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    standin::ServiceRecord changed = *standin::GetService("KTRX");
    changed.startType = SERVICE_DEMAND_START;
    changed.displayName = "Changed by hand";
    standin::AddService(changed);
    standin::PutDword(harness::kParameters, "VideoTimeout", 5);
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{"Attempt to install driver, driver already installed; "});
    EXPECT_EQ(run.output, kFreshInstall);
    EXPECT_EQ(standin::GetService("KTRX")->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(standin::GetService("KTRX")->displayName, "Changed by hand");
    EXPECT_EQ(standin::GetValue(harness::kParameters, "VideoTimeout")->data, (std::vector<BYTE>{0x20, 0x4E, 0, 0}));
}

TEST_F(Install, ARunningDriverIsNotStartedAgain) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    auto run = RunDuruvude({"install", "videotimeout", "300"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, std::string(kRegistered) + "Kestrix driver is already running\n");
    EXPECT_EQ(standin::CallsTo("StartServiceA"), 0);
    EXPECT_EQ(standin::CallsTo("OpenServiceA"), 0);
    EXPECT_EQ(standin::GetValue(harness::kParameters, "VideoTimeout")->data, (std::vector<BYTE>{0x2C, 0x01, 0, 0}));
}

TEST_F(Install, AnotherCreationErrorIsReportedWithItsCode) {
    standin::FailCall("CreateServiceA", ERROR_ACCESS_DENIED);
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to Create Service", ERROR_ACCESS_DENIED)});
    EXPECT_FALSE(standin::KeyExists(harness::kSourceKey));
}

TEST_F(Install, ASystemDirectoryThatCannotBeReadStopsBeforeAnythingIsCreated) {
    standin::FailCall("GetSystemDirectoryA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunDuruvude({"install"}).status, -1);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to read the system directory", ERROR_ACCESS_DENIED)});
    EXPECT_EQ(standin::CallsTo("CreateServiceA"), 0);

    standin::ResetMachine();
    standin::SetSystemDirectory("C:\\" + std::string(300, 'd'));
    EXPECT_EQ(RunDuruvude({"install"}).status, -1);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{ErrorText("Failed to read the system directory", ERROR_INSUFFICIENT_BUFFER)});
    EXPECT_EQ(standin::CallsTo("CreateServiceA"), 0);
}

TEST_F(Install, ALongSystemDirectoryStillLeavesRoomForTheSuffix) {
    std::string directory = "C:\\" + std::string(255, 'd');  // 258 characters
    standin::SetSystemDirectory(directory);
    standin::PutFile(directory + "\\DRIVERS\\KTRX.SYS");
    EXPECT_EQ(RunDuruvude({"install"}).status, 0);
    EXPECT_EQ(standin::GetService("KTRX")->binaryPath, directory + "\\DRIVERS\\KTRX.SYS");
}

struct StepFailure {
    const char* op;
    int nth;
    const char* message;
};

TEST_F(Install, EachRegistryStepFailingLeavesTheServiceRegistered) {
    const StepFailure failures[] = {
        {"RegOpenKeyExA", 1, "Failed to open HKLM KTRX key"},
        {"RegCreateKeyExA", 1, "Failed to create HKLM EventLog KTRX\\Parameters key"},
        {"RegSetValueExA", 1, "Failed to set HKLM KTRX VideoTimeout value"},
        {"RegOpenKeyExA", 2, "Failed to open HKLM EventLog key"},
    };
    for (const auto& f : failures) {
        standin::ResetMachine();
        standin::FailCall(f.op, ERROR_ACCESS_DENIED, f.nth);
        auto run = RunDuruvude({"install"});
        EXPECT_EQ(run.status, -1) << f.message;
        EXPECT_EQ(harness::BoxTexts(), std::vector<std::string>{ErrorText(f.message, ERROR_ACCESS_DENIED)});
        EXPECT_TRUE(standin::GetService("KTRX").has_value()) << f.message;
        EXPECT_EQ(run.output.find("successfully installed"), std::string::npos) << f.message;
        EXPECT_EQ(standin::CallsTo("StartServiceA"), 0) << f.message;
        EXPECT_EQ(standin::Open().Total(), 0) << f.message;
    }
}

TEST_F(Install, TheStartsOpenFailuresStillCountAsInstalled) {
    struct Case {
        DWORD code;
        std::vector<std::string> boxes;
        std::string lastLine;
    };
    const Case cases[] = {
        {ERROR_SERVICE_DOES_NOT_EXIST, {}, "KTRX driver not installed\n"},
        {ERROR_SERVICE_MARKED_FOR_DELETE,
         {"Attempt to open service, service is marked for delete.\nPlease restart the system.; "},
         ""},
        {ERROR_ACCESS_DENIED, {ErrorText("Failed to open Service", ERROR_ACCESS_DENIED)}, ""},
    };
    for (const auto& c : cases) {
        standin::ResetMachine();
        standin::FailCall("OpenServiceA", c.code);
        auto run = RunDuruvude({"install"});
        EXPECT_EQ(run.status, 0) << c.code;
        EXPECT_EQ(run.output, kRegistered + c.lastLine);
        EXPECT_EQ(harness::BoxTexts(), c.boxes);
        EXPECT_EQ(standin::CallsTo("StartServiceA"), 0);
    }
}

TEST_F(Install, AFailedStartIsShownButTheInstallationStands) {
    standin::FailCall("StartServiceA", ERROR_SERVICE_MARKED_FOR_DELETE);
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kRegistered);
    EXPECT_EQ(
        harness::BoxTexts(),
        std::vector<std::string>{"Attempt to start driver, service marked for delete.\nPlease restart the system.; "});
}

TEST_F(Install, AMissingDriverFileFailsOnlyTheStart) {
    standin::RemoveFile("C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS");
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kRegistered);
    EXPECT_EQ(harness::BoxTexts(),
              std::vector<std::string>{"Failed to start driver; The system cannot find the file specified.\r\n"});
    EXPECT_EQ(standin::GetService("KTRX")->state, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(Install, ADeviceThatRefusesToOpenCountsAsNotRunning) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    standin::SetDeviceRefusesWhenRunning("KTRX", true);
    standin::SetServiceState("KTRX", SERVICE_RUNNING);
    auto run = RunDuruvude({"install"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kRegistered);
    EXPECT_EQ(harness::BoxTexts(),
              (std::vector<std::string>{"Attempt to install driver, driver already installed; ",
                                        ErrorText("Failed to start driver", ERROR_SERVICE_ALREADY_RUNNING)}));
}

TEST_F(Install, StartingAStoppedDriver) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    std::string out = harness::Capture([&] { EXPECT_TRUE(StartDriver(manager)); });
    EXPECT_EQ(out, "\nStartService SUCCESS\nKestrix driver started\n");
    EXPECT_EQ(standin::GetService("KTRX")->state, static_cast<DWORD>(SERVICE_RUNNING));
    CloseServiceHandle(manager);
}

TEST_F(Install, TheProbeOpensTheDeviceAndClosesIt) {
    EXPECT_FALSE(IsDriverRunning());
    standin::SetDevice("KTRX", standin::DeviceState::Opens);
    EXPECT_TRUE(IsDriverRunning());
    EXPECT_EQ(standin::CallsTo("CloseHandle"), 1);
    standin::SetDevice("KTRX", standin::DeviceState::Refuses);
    EXPECT_FALSE(IsDriverRunning());
    ASSERT_EQ(standin::DeviceOpens().size(), 3u);
    for (const auto& open : standin::DeviceOpens()) {
        EXPECT_EQ(open.path, "\\\\.\\KTRX");
        EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
    }
}

}  // namespace
