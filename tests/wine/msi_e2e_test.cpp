// The Windows Installer packages under Wine's msiexec, one row a sequence of
// msiexec runs. Wine logs a custom-action DLL that cannot load as a
// success, so every row asserts the tool's own lines in the installer's log.
#include "wine_support.h"
// After windows.h, which it needs.
#include <msi.h>

namespace {

using bed::WineTest;

constexpr char kUpgradeCode[] = "{5E0C7B2A-3D41-4F6B-9A57-2C1E8D4B7F10}";
const std::vector<BYTE> k300 = {0x2C, 0x01, 0, 0};

struct Msiexec {
    const char* arguments;     // "/i PACKAGE ...", the package named in the test packages' folder
    DWORD status;              // msiexec's own, read with GetExitCodeProcess
    const char* logged;        // a line the installer's log must hold, if any
    void (*then)() = nullptr;  // what happens to the machine after it
};

// The old package's removal in a major upgrade as Windows runs it: with
// UPGRADINGPRODUCTCODE set, which Wine never sets itself (it runs a plain
// removal, the tool's uninstall with it).
#define UPGRADING "UPGRADINGPRODUCTCODE={00000000-0000-0000-0000-000000000001}"
constexpr char kRemovalInAnUpgrade[] = "/x DURUVUDE-1.0.0-x64.msi " UPGRADING;

// KTRX restarted from the first version's KTRX.SYS, put in place by hand.
void RunTheFirstVersion() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_STOP | SERVICE_START);
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    bed::PlaceDriver("KTRX.SYS");
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// msiexec unattended with a verbose log; its status and the log.
DWORD RunMsiexec(std::string arguments, std::string* log) {
    arguments.insert(3, bed::PathFromEnvironment("DURUVUDE_MSI") + "\\");  // after "/i " or "/x "
    const std::string path = "C:\\windows\\temp\\duruvude-msi.log";
    DeleteFileA(path.c_str());
    std::string command = "msiexec.exe " + arguments + " /qn /l*v " + path;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD status = 0xDEADBEEF;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 180000), WAIT_OBJECT_0) << command;
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    *log = bed::ReadWholeFile(path);
    return status;
}

// The installed products of the package's upgrade code, as "version".
std::vector<std::string> InstalledVersions() {
    std::vector<std::string> versions;
    char code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i) {
        char version[64] = "";
        DWORD size = sizeof version;
        MsiGetProductInfoA(code, INSTALLPROPERTY_VERSIONSTRING, version, &size);
        versions.emplace_back(version);
    }
    return versions;
}

void RunSteps(const std::vector<Msiexec>& steps) {
    for (const auto& step : steps) {
        SCOPED_TRACE(step.arguments);
        std::string log;
        EXPECT_EQ(RunMsiexec(step.arguments, &log), step.status);
        if (step.logged) {
            EXPECT_NE(log.find(step.logged), std::string::npos)
                << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
        }
        if (step.then) step.then();
    }
}

// Takes every package and the driver away again.
void RemoveAll() {
    std::string log;
    for (const char* package : {"DURUVUDE-1.0.1-x64.msi", "DURUVUDE-1.0.0-x64.msi"})
        RunMsiexec(std::string("/x ") + package, &log);
    bed::RemoveKtrx();
    bed::RemoveDriverFile();
}

struct Row {
    const char* name;
    std::vector<Msiexec> steps;
    std::vector<std::string> products;  // installed afterwards
    bool running;                       // the driver, with VideoTimeout 300
    const char* driverFirst = nullptr;  // in System32\drivers before the steps
    const char* native = "AMD64";       // the processor Windows says it runs on
};

TEST_F(WineTest, ThePackagesInstallKeepUpgradeAndRemoveTheDriver) {
    if (bed::ExeIsX86()) GTEST_SKIP() << "the packages hold their own EXEs: run with the 64-bit entry";
    const Row rows[] = {
        {"install, then again without the property",
         {{"/i DURUVUDE-1.0.0-x64.msi VIDEOTIMEOUT=300", 0, "DURUVUDE: Kestrix driver started"},
          {"/i DURUVUDE-1.0.0-x64.msi REINSTALL=ALL REINSTALLMODE=vomus", 0,
           "DURUVUDE: running \"C:\\Program Files\\DURUVUDE\\DURUVUDE.EXE\" install videotimeout 300"}},
         {"1.0.0"},
         true},
        {"uninstall",
         {{"/i DURUVUDE-1.0.0-x64.msi", 0, "DURUVUDE: Kestrix driver started"},
          {"/x DURUVUDE-1.0.0-x64.msi", 0, "DURUVUDE: DURUVUDE.EXE ended with 0"}},
         {},
         false},
        {"upgrade to the next version",
         {{"/i DURUVUDE-1.0.0-x64.msi VIDEOTIMEOUT=300", 0, "DURUVUDE: Kestrix driver started"},
          {"/i DURUVUDE-1.0.1-x64.msi", 0, "DURUVUDE: Kestrix driver started"}},
         {"1.0.1"},
         true},
        {"upgrade, the old package removed as Windows removes it",
         {{"/i DURUVUDE-1.0.0-x64.msi VIDEOTIMEOUT=300", 0, "DURUVUDE: Kestrix driver started"},
          {kRemovalInAnUpgrade, 0, "UPGRADINGPRODUCTCODE = {00000000-0000-0000-0000-000000000001}"},
          {"/i DURUVUDE-1.0.1-x64.msi", 0, "DURUVUDE: stopping KTRX to replace its KTRX.SYS"}},
         {"1.0.1"},
         true},
        {"repair over an older KTRX.SYS",
         {{"/i DURUVUDE-1.0.1-x64.msi VIDEOTIMEOUT=300", 0, "DURUVUDE: Kestrix driver started", RunTheFirstVersion},
          {"/i DURUVUDE-1.0.1-x64.msi REINSTALL=ALL REINSTALLMODE=vomus", 0,
           "DURUVUDE: stopping KTRX to replace its KTRX.SYS"}},
         {"1.0.1"},
         true},
        {"a newer KTRX.SYS already in place",
         {{"/i DURUVUDE-1.0.0-x64.msi", 1603,
           "DURUVUDE: C:\\windows\\system32\\drivers\\KTRX.SYS is version 1.0.1.0, not this package's KTRX.SYS "
           "(version 1.0.0.0)"}},
         {},
         false,
         "KTRX-V2.SYS"},
        {"a failing install is rolled back",
         {{"/i DURUVUDE-1.0.0-x64.msi VIDEOTIMEOUT=5min", 1603,
           "DURUVUDE: VIDEOTIMEOUT must be a decimal number, not \"5min\""}},
         {},
         false},
        {"the x64 package on Windows on ARM64",
         {{"/i DURUVUDE-1.0.0-x64.msi", 1603, "LaunchConditions. Return value 0."}},
         {},
         false,
         nullptr,
         "ARM64"},
        // Not processed on another platform, as on x64 Windows.
        {"the Arm64 package", {{"/i DURUVUDE-1.0.0-arm64.msi", 1633, nullptr}}, {}, false},
        {"the x86 package on 64-bit Windows",
         {{"/i DURUVUDE-1.0.0-x86.msi", 1603, "LaunchConditions. Return value 0."}},
         {},
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveAll();
        if (row.driverFirst) bed::PlaceDriver(row.driverFirst);
        {
            bed::NativeProcessor native(row.native);
            RunSteps(row.steps);
        }
        EXPECT_EQ(InstalledVersions(), row.products);
        EXPECT_EQ(bed::ServiceState(), row.running ? std::optional<DWORD>(SERVICE_RUNNING) : std::nullopt);
        EXPECT_EQ(bed::KeyExists(bed::kSourceKey), row.running);
        if (row.running) {
            EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout")->bytes, k300);
            // The package's own image: the next version's where it is installed.
            EXPECT_EQ(bed::DeviceOpens(bed::kNewImage), row.products == std::vector<std::string>{"1.0.1"});
        }
        EXPECT_EQ(GetFileAttributesA("C:\\Program Files\\DURUVUDE\\DURUVUDE.EXE") != INVALID_FILE_ATTRIBUTES,
                  !row.products.empty());
    }
    RemoveAll();
}

// A driver that cannot unload stays loaded until the wineserver ends.
TEST(NoUnloadDriver, ThePackagesRemovalAsksForARestartAndAnInstallBeforeItFails) {
    if (bed::ExeIsX86()) GTEST_SKIP() << "the packages hold their own EXEs: run with the 64-bit entry";
    RunSteps({{"/i nounload\\DURUVUDE-1.0.0-x64.msi", 0, "DURUVUDE: Kestrix driver started"},
              {"/x nounload\\DURUVUDE-1.0.0-x64.msi", 3010,
               "DURUVUDE: KTRX is still loaded: its removal completes when the system restarts"},
              {"/i nounload\\DURUVUDE-1.0.0-x64.msi", 1603,
               "DURUVUDE: DRIVER INSTALLATION ERROR: Attempt to install driver, service marked for delete. | Please "
               "restart the system.; "}});
    EXPECT_EQ(InstalledVersions(), std::vector<std::string>{});
}

// The same upgrade over a driver that cannot stop: its new image runs from
// the restart on, which the package asks for.
TEST(NoUnloadDriver, ThePackagesUpgradeOfADriverThatCannotStopCompletesAtTheRestart) {
    if (bed::ExeIsX86()) GTEST_SKIP() << "the packages hold their own EXEs: run with the 64-bit entry";
    if (!bed::AfterRestart()) {
        RunSteps({{"/i nounload\\DURUVUDE-1.0.0-x64.msi VIDEOTIMEOUT=300", 0, "DURUVUDE: Kestrix driver started"},
                  {"/x nounload\\DURUVUDE-1.0.0-x64.msi " UPGRADING, 0, "UPGRADINGPRODUCTCODE = {"},
                  {"/i nounload\\DURUVUDE-1.0.1-x64.msi", 3010,
                   "DURUVUDE: KTRX still runs its old image: the new KTRX.SYS runs when the system restarts"}});
        EXPECT_FALSE(bed::DeviceOpens(bed::kNewImage));
        return bed::RestartAndRunAgain();
    }
    EXPECT_TRUE(bed::DeviceOpens(bed::kNewImage));
    EXPECT_EQ(bed::ReadValue(bed::kParametersKey, "VideoTimeout")->bytes, k300);
    EXPECT_EQ(InstalledVersions(), std::vector<std::string>{"1.0.1"});
    RunSteps({{"/x nounload\\DURUVUDE-1.0.1-x64.msi", 3010,
               "DURUVUDE: KTRX is still loaded: its removal completes when the system restarts"}});
}

}  // namespace
