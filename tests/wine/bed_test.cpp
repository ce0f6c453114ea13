// The test bed itself: the runner reports a program exactly, and the fixture
// driver runs under Wine's service manager.
#include "wine_support.h"

namespace {

TEST(Runner, ReportsLinesBoxesInOrderAndTheExitCode) {
    RunOutcome outcome = RunAnsweringBoxes(QuoteArgument(bed::PathFromEnvironment("DURUVUDE_PROBE")), 30000);
    ASSERT_TRUE(outcome.started) << "error " << outcome.startError;
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.output, "first line\nsecond line\n");
    ASSERT_EQ(outcome.boxes.size(), 2u);
    EXPECT_EQ(outcome.boxes[0].title, "Probe One");
    EXPECT_EQ(outcome.boxes[0].text, "first box");
    EXPECT_EQ(outcome.boxes[1].title, "Probe Two");
    EXPECT_EQ(outcome.boxes[1].text, "second box\nwith two lines");
    EXPECT_EQ(outcome.exitCode, 0xFFFFFFFFu);

    // A program that cannot start is reported with CreateProcessA's code,
    // not started again: only ERROR_INTERNAL_ERROR is.
    RunOutcome missing = RunAnsweringBoxes("C:\\windows\\no-such-program.exe", 30000);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.startError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

class FixtureDriver : public bed::WineTest {};

TEST_F(FixtureDriver, StartsOffersItsDeviceAndUnloadsOnStop) {
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    std::string image = std::string(directory) + "\\DRIVERS\\KTRX.SYS";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceA(manager, "KTRX", "Kestrix driver", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_FALSE(bed::DeviceOpens());
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    EXPECT_TRUE(bed::DeviceOpens());
    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_FALSE(bed::DeviceOpens());
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(FixtureDriver, TheRefusingVariantsDeviceExistsButDoesNotOpen) {
    bed::PlaceDriver("KTRX-REFUSE.SYS");
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    std::string image = std::string(directory) + "\\DRIVERS\\KTRX.SYS";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceA(manager, "KTRX", "Kestrix driver", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    HANDLE device = CreateFileA("\\\\.\\KTRX", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    // The name exists: the failure is not "file not found".
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

}  // namespace
