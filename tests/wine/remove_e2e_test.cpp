// "uninstall" end to end under Wine, with the fixture driver, and the whole
// cycle repeated.
#include <algorithm>
#include <cstdio>

#include "wine_support.h"

namespace {

using bed::WineTest;

TEST_F(WineTest, UninstallStopsTheDriverAndTakesEverythingAway) {
    ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
    ASSERT_TRUE(bed::DeviceOpens());
    RunOutcome run = bed::RunDuruvude({"uninstall"});
    EXPECT_EQ(run.output, "Kestrix driver removed\n");
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(bed::DeviceOpens());
    EXPECT_FALSE(bed::ServiceState().has_value());
    EXPECT_FALSE(bed::KeyExists(bed::kServiceKey));
    EXPECT_FALSE(bed::KeyExists(bed::kSourceKey));
    EXPECT_EQ(bed::ReadStored(bed::kSystemLog, "Sources"), sourcesBefore);
}

TEST_F(WineTest, UninstallingTwiceSaysTheDriverIsNotInstalled) {
    ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
    ASSERT_EQ(bed::RunDuruvude({"uninstall"}).exitCode, 0u);
    RunOutcome run = bed::RunDuruvude({"uninstall"});
    EXPECT_EQ(run.output, "KTRX driver not installed\n");
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(run.exitCode, 0xFFFFFFFFu);
}

TEST_F(WineTest, UninstallWithATimeoutWritesNoTimeout) {
    ASSERT_EQ(bed::RunDuruvude({"install", "videotimeout", "300"}).exitCode, 0u);
    // A handle held here keeps the service, and so its keys, after the deletion.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE held = OpenServiceA(manager, "KTRX", SERVICE_QUERY_STATUS);
    ASSERT_NE(held, nullptr);
    RunOutcome run = bed::RunDuruvude({"uninstall", "videotimeout", "500"});
    EXPECT_EQ(run.output, "Kestrix driver removed\n");
    EXPECT_EQ(run.exitCode, 0u);
    auto value = bed::ReadValue(bed::kParametersKey, "VideoTimeout");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->bytes, (std::vector<BYTE>{0x2C, 0x01, 0, 0}));
    CloseServiceHandle(held);
    CloseServiceHandle(manager);
    EXPECT_FALSE(bed::KeyExists(bed::kParametersKey));
}

TEST_F(WineTest, InstallWinsOverUninstall) {
    RunOutcome run = bed::RunDuruvude({"uninstall", "install"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(WineTest, AServiceHeldOpenElsewhereGoesWhenItsHandleCloses) {
    ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE held = OpenServiceA(manager, "KTRX", SERVICE_QUERY_STATUS);
    ASSERT_NE(held, nullptr);
    RunOutcome run = bed::RunDuruvude({"uninstall"});
    EXPECT_EQ(run.output, "Kestrix driver removed\n");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(bed::ServiceState().has_value());
    CloseServiceHandle(held);
    EXPECT_FALSE(bed::ServiceState().has_value());
    CloseServiceHandle(manager);
}

TEST_F(WineTest, TwentyFullCyclesLeaveNothingBehind) {
    // Other products' sources, whatever their script, keep every byte.
    const bed::RegData seeded = bed::SourcesInSeveralScripts();
    bed::WriteStored(bed::kSystemLog, "Sources", seeded);
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(bed::RunDuruvude({"install", "videotimeout", "300"}).exitCode, 0u);
        RunOutcome configure = bed::RunDuruvude({"videotimeout", std::to_string(cycle)});
        ASSERT_EQ(configure.exitCode, 0u);
        ASSERT_EQ(configure.boxes.size(), 1u);
        EXPECT_EQ(configure.boxes[0].title, bed::kNoticeTitle);
        RunOutcome remove = bed::RunDuruvude({"uninstall"});
        ASSERT_EQ(remove.exitCode, 0u) << remove.output;
        ASSERT_TRUE(remove.boxes.empty());
    }
    EXPECT_FALSE(bed::ServiceState().has_value());
    EXPECT_FALSE(bed::KeyExists(bed::kServiceKey));
    EXPECT_FALSE(bed::KeyExists(bed::kSourceKey));
    EXPECT_FALSE(bed::DeviceOpens());
    EXPECT_EQ(bed::ReadStored(bed::kSystemLog, "Sources"), seeded);
}

// Other products' "Sources" entries keep every byte through an install and
// an uninstall: names in several scripts; a list just past the 4096
// characters the tool once read at most; and one of the most sources a log
// takes, 16,384 names of 32 characters (about 1.1 MB), without KTRX and
// then with kTrX in the middle of it.
bed::RegData NamesList(const std::vector<std::string>& names) {
    bed::RegData data{REG_MULTI_SZ, {}};
    for (const std::string& name : names) {
        for (char c : name) data.bytes.insert(data.bytes.end(), {static_cast<BYTE>(c), 0});
        data.bytes.insert(data.bytes.end(), {0, 0});
    }
    data.bytes.insert(data.bytes.end(), {0, 0});
    return data;
}

std::vector<std::string> ManyNames(size_t count, size_t ktrxAt) {
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i)
        names.push_back(i == ktrxAt ? "kTrX" : "Microsoft-Windows-Kestrix-" + std::to_string(100000 + i));
    return names;
}

TEST_F(WineTest, OtherSourcesKeepEveryByteThroughAnInstallAndAnUninstall) {
    const size_t none = SIZE_MAX;
    const struct {
        const char* what;
        bed::RegData seeded;
        bool holdsKtrx;
    } cases[] = {
        {"names in several scripts", bed::SourcesInSeveralScripts(), false},
        {"4097 characters", NamesList({"Alpha", std::string(4089, 'x')}), false},
        {"16384 names", NamesList(ManyNames(16384, none)), false},
        {"16384 names, kTrX among them", NamesList(ManyNames(16384, 8192)), true},
    };
    ASSERT_EQ(cases[1].seeded.bytes.size(), 4097u * 2);
    ASSERT_EQ(cases[2].seeded.bytes.size(), (16384u * 33 + 1) * 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bed::WriteStored(bed::kSystemLog, "Sources", c.seeded);
        ULONGLONG start = GetTickCount64();
        ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
        const ULONGLONG installed = GetTickCount64() - start;
        bed::RegData added = c.seeded;
        if (!c.holdsKtrx) {
            added.bytes.resize(added.bytes.size() - 2);
            for (char ch : std::string("KTRX")) added.bytes.insert(added.bytes.end(), {static_cast<BYTE>(ch), 0});
            added.bytes.insert(added.bytes.end(), {0, 0, 0, 0});
        }
        EXPECT_EQ(bed::ReadStored(bed::kSystemLog, "Sources"), added);
        start = GetTickCount64();
        ASSERT_EQ(bed::RunDuruvude({"uninstall"}).exitCode, 0u);
        const ULONGLONG removed = GetTickCount64() - start;
        bed::RegData expected = c.seeded;
        if (c.holdsKtrx) {
            const BYTE ktrx[] = {'k', 0, 'T', 0, 'r', 0, 'X', 0, 0, 0};
            auto at = std::search(expected.bytes.begin(), expected.bytes.end(), ktrx, ktrx + sizeof ktrx);
            expected.bytes.erase(at, at + sizeof ktrx);
        }
        EXPECT_EQ(bed::ReadStored(bed::kSystemLog, "Sources"), expected);
        std::printf("Sources of %zu bytes (%s): install %llu ms, uninstall %llu ms\n", c.seeded.bytes.size(), c.what,
                    installed, removed);
    }
}

}  // namespace

namespace {

const char kStillRunning[] =
    "Kestrix driver is still running: its removal completes when it stops or the system restarts\n";

TEST_F(WineTest, AnUninstallThatSendsNoStopSaysTheDriverIsStillRunning) {
    // Its device does not open, so the removal sends no stop.
    bed::PlaceDriver("KTRX-REFUSE.SYS");
    ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
    RunOutcome run = bed::RunDuruvude({"uninstall"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, std::string("Kestrix driver removed\n") + kStillRunning);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

// A driver with no unload routine stays loaded, its service marked for
// deletion, until the machine restarts (here: until the wineserver ends).
// Its own ctest entry gives it a fresh wineserver before and after.
TEST(NoUnloadDriver, AnUninstallThatCannotStopTheDriverSaysSoAndTheNextInstallIsRefused) {
    bed::RemoveKtrx();
    const auto sources = bed::ReadStored(bed::kSystemLog, "Sources");
    bed::PlaceDriver("KTRX-NOUNLOAD.SYS");
    ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
    EXPECT_TRUE(bed::DeviceOpens());

    RunOutcome run = bed::RunDuruvude({"uninstall"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, std::string("Kestrix driver removed\n") + kStillRunning);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(bed::DeviceOpens());
    EXPECT_EQ(bed::ReadStored(bed::kSystemLog, "Sources"), sources);

    // What Wine answers a further stop.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status = {};
    SetLastError(0xdeadbeef);
    BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
    DWORD error = GetLastError();
    std::printf("no-unload driver after uninstall: another stop gives %d, error %lu, state %lu\n", stopped,
                static_cast<unsigned long>(error), static_cast<unsigned long>(status.dwCurrentState));
    EXPECT_FALSE(stopped);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    RunOutcome again = bed::RunDuruvude({"install"});
    EXPECT_EQ(again.exitCode, 0xFFFFFFFFu);
    ASSERT_EQ(again.boxes.size(), 1u);
    EXPECT_EQ(again.boxes[0].text,
              "Attempt to install driver, service marked for delete.\nPlease restart the system.; ");
    bed::RemoveDriverFile();
}

}  // namespace
