// "uninstall" on the stand-in: the stop and its poll, the event-log source,
// and every outcome of the deletion.
#include <algorithm>

#include "harness.h"

namespace {

using harness::ErrorText;
using harness::RunDuruvude;
using harness::StandinTest;

class Remove : public StandinTest {
protected:
    static bool SourcesHoldKtrx() {
        auto entries = harness::SourcesEntries();
        return std::find(entries.begin(), entries.end(), "KTRX") != entries.end();
    }
};

const char kStillRunning[] =
    "Kestrix driver is still running: its removal completes when it stops or the system restarts\n";

TEST_F(Remove, ARunningDriverStopsAtOnceAndEverythingGoes) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "Kestrix driver removed\n");
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_TRUE(standin::Sleeps().empty());
    EXPECT_EQ(standin::CallsTo("ControlService"), 1);
    EXPECT_FALSE(standin::GetService("KTRX").has_value());
    EXPECT_FALSE(standin::KeyExists(harness::kServiceKey));
    EXPECT_FALSE(standin::KeyExists(harness::kSourceKey));
    EXPECT_FALSE(SourcesHoldKtrx());
    EXPECT_EQ(standin::GetDevice("KTRX"), standin::DeviceState::Absent);
}

TEST_F(Remove, AStoppedDriverGetsNoControl) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(standin::CallsTo("ControlService"), 0);
    EXPECT_FALSE(standin::GetService("KTRX").has_value());
    EXPECT_FALSE(standin::KeyExists(harness::kSourceKey));
}

TEST_F(Remove, ADeviceThatRefusesToOpenGetsNoStop) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    standin::SetDeviceRefusesWhenRunning("KTRX", true);
    standin::SetServiceState("KTRX", SERVICE_RUNNING);
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(standin::CallsTo("ControlService"), 0);
    // Accepted for deletion; it goes once the driver stops, and the run says so.
    EXPECT_TRUE(standin::GetService("KTRX")->markedForDelete);
    EXPECT_EQ(run.output, std::string("Kestrix driver removed\n") + kStillRunning);
}

TEST_F(Remove, AStopThatStaysPendingIsPolledFiveTimesThenDeleted) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    standin::SetStopBehaviour("KTRX", standin::StopBehaviour::Pending, 100);
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(standin::Sleeps(), std::vector<DWORD>(5, 1000));
    EXPECT_EQ(standin::CallsTo("ControlService"), 6);
    EXPECT_EQ(standin::CallsTo("DeleteService"), 1);
    // The poll comes between the stop and the deletion, sleeps and interrogations in turn.
    const auto& log = standin::CallLog();
    auto stop = std::find(log.begin(), log.end(), "ControlService");
    std::vector<std::string> poll(stop + 1, stop + 11);
    for (size_t i = 0; i < poll.size(); ++i) EXPECT_EQ(poll[i], i % 2 == 0 ? "Sleep" : "ControlService");
    // Still stopping when the poll gave up.
    EXPECT_EQ(run.output, std::string("Kestrix driver removed\n") + kStillRunning);
}

TEST_F(Remove, APollEndsWhenTheDriverHasStopped) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    standin::SetStopBehaviour("KTRX", standin::StopBehaviour::Pending, 2);
    EXPECT_EQ(RunDuruvude({"uninstall"}).status, 0);
    EXPECT_EQ(standin::Sleeps(), std::vector<DWORD>(2, 1000));
    EXPECT_FALSE(standin::GetService("KTRX").has_value());
}

TEST_F(Remove, AFailedStopInAnotherStateIsNotPolled) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    standin::SetStopBehaviour("KTRX", standin::StopBehaviour::Refuses);
    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(standin::Sleeps().empty());
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_TRUE(standin::GetService("KTRX")->markedForDelete);
    EXPECT_EQ(run.output, std::string("Kestrix driver removed\n") + kStillRunning);

    standin::ResetMachine();
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    standin::FailCall("ControlService", ERROR_ACCESS_DENIED);
    run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(standin::Sleeps().empty());
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_EQ(run.output, std::string("Kestrix driver removed\n") + kStillRunning);

    // A status that cannot be read adds nothing.
    standin::ResetMachine();
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    standin::SetStopBehaviour("KTRX", standin::StopBehaviour::Refuses);
    standin::FailCall("QueryServiceStatus", ERROR_ACCESS_DENIED);
    run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "Kestrix driver removed\n");
}

// Stop, event-log source, deletion, in that order: what the source's removal
// says comes before the deletion, and its failure does not stop it.
TEST_F(Remove, EachDeletionOutcome) {
    struct Case {
        DWORD code;              // DeleteService's failure, or 0
        const char* sourceFail;  // a call of the source's removal that fails
        int status;
        std::string output;
        std::vector<std::string> boxes;
    };
    const Case cases[] = {
        {ERROR_SERVICE_MARKED_FOR_DELETE,
         nullptr,
         -1,
         "",
         {"Attempt to delete KTRX, service marked for delete.\nPlease restart the system.; "}},
        {ERROR_SERVICE_DOES_NOT_EXIST, nullptr, -1, "", {}},
        {ERROR_ACCESS_DENIED, nullptr, -1, "", {ErrorText("Failed to delete KTRX service", ERROR_ACCESS_DENIED)}},
        {0,
         "RegOpenKeyExA",
         0,
         "Kestrix driver removed\n",
         {ErrorText("Failed to open HKLM EventLog key", ERROR_ACCESS_DENIED)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        standin::ResetMachine();
        harness::LayOutInstalledDriver(SERVICE_RUNNING);
        if (c.code) standin::FailCall("DeleteService", c.code);
        if (c.sourceFail) standin::FailCall(c.sourceFail, ERROR_ACCESS_DENIED);
        auto run = RunDuruvude({"uninstall"});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(harness::BoxTexts(), c.boxes);
        EXPECT_EQ(standin::KeyExists(harness::kSourceKey), c.sourceFail != nullptr);
        EXPECT_EQ(SourcesHoldKtrx(), c.sourceFail != nullptr);
        EXPECT_EQ(standin::GetService("KTRX").has_value(), c.code != 0);
        const auto& log = standin::CallLog();
        auto stop = std::find(log.begin(), log.end(), "ControlService");
        auto deletion = std::find(log.begin(), log.end(), "DeleteService");
        auto lastRegistryCall = std::find_if(log.rbegin(), log.rend(), [](const std::string& op) {
                                    return op.rfind("Reg", 0) == 0 && op != "RegCloseKey";
                                }).base();
        EXPECT_LT(stop, lastRegistryCall);
        EXPECT_LT(lastRegistryCall, deletion);
        if (c.sourceFail) {
            EXPECT_LT(std::find(log.begin(), log.end(), "MessageBoxA"), deletion);
        }
    }
}

TEST_F(Remove, AMissingServiceTouchesNothing) {
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    standin::DeleteTree(harness::kServiceKey);
    std::string registry = standin::DumpRegistry();
    standin::ResetMachine();
    // Same registry, but no service behind it.
    harness::LayOutInstalledDriver(SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_ALL_ACCESS);
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_FALSE(standin::GetService("KTRX").has_value());
    std::string before = standin::DumpRegistry();

    auto run = RunDuruvude({"uninstall"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, "KTRX driver not installed\n");
    EXPECT_TRUE(standin::Boxes().empty());
    EXPECT_EQ(standin::DumpRegistry(), before);
    EXPECT_TRUE(standin::KeyExists(harness::kSourceKey));
}

TEST_F(Remove, RemovingTwiceSaysTheDriverIsNotInstalled) {
    harness::LayOutInstalledDriver(SERVICE_RUNNING);
    EXPECT_EQ(RunDuruvude({"uninstall"}).status, 0);
    auto second = RunDuruvude({"uninstall"});
    EXPECT_EQ(second.status, -1);
    EXPECT_EQ(second.output, "KTRX driver not installed\n");
    EXPECT_TRUE(standin::Boxes().empty());
}

TEST_F(Remove, InstallThenRemoveLeavesTheRegistryAsItWas) {
    std::string before = standin::DumpRegistry();
    EXPECT_EQ(RunDuruvude({"install", "videotimeout", "300"}).status, 0);
    EXPECT_EQ(RunDuruvude({"uninstall"}).status, 0);
    EXPECT_EQ(standin::DumpRegistry(), before);
    EXPECT_TRUE(standin::Boxes().empty());
}

}  // namespace
