// The administrator's guide's recipes, one row each, read from the guide as
// printed and run as their deployment agent runs them: from the folder the
// agent starts in, through the cmd.exe of the agent's bitness, in a window
// station nobody sees.
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/adminlock.h"
#include "wine_support.h"

namespace {

using bed::WineTest;

constexpr char kCmd32[] = "C:\\windows\\syswow64\\cmd.exe";
constexpr char kCmd64[] = "C:\\windows\\system32\\cmd.exe";
// Where psexec -c puts the program: ADMIN$, the Windows folder.
constexpr char kPsExecCopy[] = "%WINDIR%\\DURUVUDE.EXE";
// Where the PsExec card copies the package folder, through ADMIN$.
constexpr char kPsExecFolder[] = "%WINDIR%\\DURUVUDE";
// The PsExec cards call it by its full path, in a folder only
// administrators can write.
constexpr char kPsExec[] = "\"%ProgramFiles%\\Sysinternals\\PsExec.exe\" \\\\HOST ";
constexpr char kAlreadyInstalled[] = "DRIVER INSTALLATION ERROR: Attempt to install driver, driver already installed; ";

// The lines under a label of a numbered section of the guide ("5. Intune
// (Win32 app)", then a line ending with "Install command:"), each without
// its four-space indent, up to the first line not so indented.
std::vector<std::string> GuideBlock(const std::string& section, const std::string& label) {
    std::ifstream guide(std::getenv("DURUVUDE_GUIDE"));
    std::vector<std::string> block;
    bool inSection = false, inBlock = false;
    for (std::string line; std::getline(guide, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const bool heading =
            !line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) && line.find(". ") != std::string::npos;
        if (heading) {
            if (inSection) break;
            inSection = line.substr(line.find(". ") + 2) == section;
        } else if (inBlock) {
            if (line.rfind("    ", 0) != 0) break;
            block.push_back(line.substr(4));
        } else if (inSection && line.size() >= label.size() &&
                   line.compare(line.size() - label.size(), label.size(), label) == 0) {
            inBlock = true;
        }
    }
    return block;
}

// "Name: value" among a block's lines; the value may be empty.
std::string GuideValue(const std::vector<std::string>& block, const std::string& name) {
    for (const auto& line : block)
        if (line.rfind(name + ":", 0) == 0) {
            const size_t at = line.find_first_not_of(' ', name.size() + 1);
            return at == std::string::npos ? "" : line.substr(at);
        }
    ADD_FAILURE() << "no " << name << " in the guide's block";
    return {};
}

std::string Expand(const char* text) {
    char expanded[MAX_PATH] = {};
    ExpandEnvironmentStringsA(text, expanded, MAX_PATH);
    return expanded;
}

// Where the agent keeps the package and how it starts the recipe.
enum class Agent {
    Package,  // Intune, Configuration Manager: "cmd /c ..." in the package folder
    Policy,   // a startup script, by its full path, from the Windows folder
    Task,     // program and arguments, from System32 ("Start in" empty)
    PsExec,   // the copy through ADMIN$ here, the tool as psexec -s runs it there
};
// Install: run twice, the second run's "already installed" kept in the log.
// Boot: run, VideoTimeout changed by hand, run again as at the next boot.
// Uninstall: after an installation.
enum class Step { Install, Boot, Uninstall };
// What the machine holds first: nothing; a file where the log's folder
// goes; an uninstall of the no-unload driver waiting for its restart.
enum class Setup { Fresh, LogBlocked, PendingUninstall };

struct Recipe {
    const char* section;
    const char* field;
    Agent agent;
    const char* cmd;  // the cmd.exe the agent's command runs through
    Step step;
    const char* driver;  // the fixture driver in the package
    DWORD exitCode;
    Setup setup = Setup::Fresh;
};

const Recipe kRecipes[] = {
    {"Intune (Win32 app)", "Install command:", Agent::Package, kCmd32, Step::Install, "KTRX.SYS", 0},
    {"Intune (Win32 app)", "Install command:", Agent::Package, kCmd64, Step::Install, "KTRX.SYS", 0},
    {"Intune (Win32 app)", "Uninstall command:", Agent::Package, kCmd32, Step::Uninstall, "KTRX.SYS", 0},
    {"Intune (Win32 app)", "Install command:", Agent::Package, kCmd64, Step::Install, "KTRX.SYS", 0, Setup::LogBlocked},
    {"Intune (Win32 app)", "Install command:", Agent::Package, kCmd64, Step::Install, "KTRX-NOUNLOAD.SYS", 3010,
     Setup::PendingUninstall},
    {"Intune (Win32 app)", "Uninstall command:", Agent::Package, kCmd64, Step::Uninstall, "KTRX-NOUNLOAD.SYS", 3010,
     Setup::PendingUninstall},
    {"Configuration Manager (application)", "Install command:", Agent::Package, kCmd64, Step::Install, "KTRX.SYS", 0},
    {"Configuration Manager (application)", "Install command:", Agent::Package, kCmd32, Step::Install, "KTRX.SYS", 0},
    {"Configuration Manager (application)", "Uninstall command:", Agent::Package, kCmd64, Step::Uninstall, "KTRX.SYS",
     0},
    {"Configuration Manager (application)", "Uninstall command:", Agent::Package, kCmd64, Step::Uninstall,
     "KTRX-NOUNLOAD.SYS", 3010},
    {"Group Policy (computer startup script)", "Install command:", Agent::Policy, kCmd64, Step::Boot, "KTRX.SYS", 0},
    {"Group Policy (computer startup script)", "Uninstall command:", Agent::Policy, kCmd64, Step::Uninstall, "KTRX.SYS",
     0},
    {"Task Scheduler", "Install command:", Agent::Task, kCmd64, Step::Boot, "KTRX.SYS", 0},
    {"Task Scheduler", "Uninstall command:", Agent::Task, kCmd64, Step::Uninstall, "KTRX.SYS", 0},
    {"PsExec", "Install command:", Agent::PsExec, kCmd64, Step::Install, "KTRX.SYS", 0},
    {"PsExec", "Uninstall command:", Agent::PsExec, kCmd64, Step::Uninstall, "KTRX.SYS", 0},
};

// "cmd ..." as the agent of that bitness finds cmd.
std::string ThroughCmd(const char* cmd, const std::string& line) {
    EXPECT_EQ(line.rfind("cmd /c ", 0), 0u) << line;
    return cmd + line.substr(3);
}

// Where the agent has the package: the EXE, the row's driver as KTRX.SYS
// and the script as the release package ships it.
std::string LayOutPackage(const Recipe& recipe) {
    const std::string folder = recipe.agent == Agent::Task     ? Expand("%ProgramFiles%\\DURUVUDE")
                               : recipe.agent == Agent::Policy ? Expand("%TEMP%\\duruvude-startup-scripts")
                                                               : Expand("%TEMP%\\duruvude-package");
    CreateDirectoryA(folder.c_str(), nullptr);
    EXPECT_TRUE(
        CopyFileA(bed::PathFromEnvironment("DURUVUDE_EXE").c_str(), (folder + "\\DURUVUDE.EXE").c_str(), FALSE));
    EXPECT_TRUE(CopyFileA((bed::PathFromEnvironment("DURUVUDE_FIXTURES") + "\\" + recipe.driver).c_str(),
                          (folder + "\\KTRX.SYS").c_str(), FALSE));
    EXPECT_TRUE(CopyFileA((bed::PathFromEnvironment("DURUVUDE_PACKAGE_FILES") + "\\KTRX-DEPLOY.CMD").c_str(),
                          (folder + "\\KTRX-DEPLOY.CMD").c_str(), FALSE));
    EXPECT_TRUE(
        CopyFileA(bed::PathFromEnvironment("DURUVUDE_HELPER").c_str(), (folder + "\\KTRXHELP.EXE").c_str(), FALSE));
    return folder;
}

struct Started {
    std::string commandLine;
    std::string directory;
};

// The command line the agent starts, and the folder it starts it in.
std::vector<Started> AgentCommands(const Recipe& recipe, const std::string& package) {
    const auto block = GuideBlock(recipe.section, recipe.field);
    EXPECT_FALSE(block.empty()) << recipe.section << " " << recipe.field;
    if (block.empty()) return {};
    char windows[MAX_PATH] = {}, system[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    GetSystemDirectoryA(system, MAX_PATH);
    switch (recipe.agent) {
    case Agent::Package:
        return {{ThroughCmd(recipe.cmd, block[0]), package}};
    case Agent::Policy: {
        std::string line =
            std::string(recipe.cmd) + " /c \"" + package + "\\" + GuideValue(block, "Script Name") + "\"";
        const std::string parameters = GuideValue(block, "Script Parameters");
        return {{parameters.empty() ? line : line + " " + parameters, windows}};
    }
    case Agent::Task:
        EXPECT_EQ(GuideValue(block, "Start in"), "");
        // Task Scheduler expands the variables in the program and its arguments.
        return {
            {Expand((GuideValue(block, "Program/script") + " " + GuideValue(block, "Add arguments")).c_str()), system}};
    case Agent::PsExec: {
        std::vector<Started> started;
        // ADMIN$ is the Windows folder; the copies run at the administrator's prompt.
        const std::string share = "\\\\HOST\\ADMIN$";
        for (size_t i = 0; i + 1 < block.size(); ++i) {
            std::string line = block[i];
            for (size_t at; (at = line.find(share)) != std::string::npos;) line.replace(at, share.size(), windows);
            started.push_back({std::string(recipe.cmd) + " /c " + line, package});
        }
        const std::string& psexec = block.back();
        EXPECT_EQ(psexec.rfind(kPsExec, 0), 0u) << psexec;
        EXPECT_NE(psexec.find(" -s "), std::string::npos) << psexec;
        EXPECT_EQ(psexec.find(" -i"), std::string::npos) << "a box on the user's desktop: " << psexec;
        // -c copies the program into ADMIN$; -s runs it from there as
        // LocalSystem, in System32, where nobody sees a window.
        std::istringstream words(psexec.substr(std::strlen(kPsExec)));
        std::string word, arguments;
        do words >> word;
        while (!word.empty() && word[0] == '-' && words);
        std::getline(words, arguments);
        if (psexec.find(" -c ") == std::string::npos) {
            // A program of HOST's own, its path expanded at the prompt.
            started.push_back({Expand((word + arguments).c_str()), system});
            return started;
        }
        EXPECT_EQ(word, "DURUVUDE.EXE") << psexec;
        const std::string copied = Expand(kPsExecCopy);
        EXPECT_TRUE(CopyFileA((package + "\\DURUVUDE.EXE").c_str(), copied.c_str(), FALSE));
        started.push_back({copied + arguments, system});
        return started;
    }
    }
    return {};
}

// Runs what the agent starts, unattended; the outcome of the last command.
RunOutcome RunAsAgent(const std::vector<Started>& commands) {
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    RunOutcome run;
    for (const auto& c : commands) {
        SCOPED_TRACE(c.commandLine);
        EXPECT_TRUE(SetCurrentDirectoryA(c.directory.c_str())) << c.directory;
        run = RunAnsweringBoxes(c.commandLine, 60000, {}, kUnattendedDesktop);
        SetCurrentDirectoryA(previous);
        EXPECT_TRUE(run.started) << run.startError;
        EXPECT_FALSE(run.timedOut);
        EXPECT_TRUE(run.boxes.empty());
    }
    return run;
}

// The guide's one-line check, through the recipe's cmd: "installed" or nothing.
std::string Check(const char* cmd) {
    const auto block = GuideBlock("Verify", "in any current folder:");
    EXPECT_EQ(block.size(), 1u);
    if (block.empty()) return "?";
    RunOutcome run = RunAnsweringBoxes(ThroughCmd(cmd, block[0]), 60000, {}, kUnattendedDesktop);
    EXPECT_EQ(run.errors, "");
    return run.output;
}

void ExpectInstalledAndRunning(const Recipe& recipe) {
    auto config = bed::QueryConfig();
    ASSERT_TRUE(config.has_value());
    // This program is 64-bit: it sees the folder the kernel loads from.
    EXPECT_NE(GetFileAttributesA(config->binaryPath.c_str()), INVALID_FILE_ATTRIBUTES) << config->binaryPath;
    EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(bed::DeviceOpens());
    EXPECT_EQ(Check(recipe.cmd), "installed\n");
}

// Takes away what the agent and the recipe left behind.
void ClearUp(const std::string& package) {
    for (const std::string& folder : {package, Expand(kPsExecFolder)}) {
        for (const char* file : {"DURUVUDE.EXE", "KTRX.SYS", "KTRX-DEPLOY.CMD", "KTRXHELP.EXE"})
            DeleteFileA((folder + "\\" + file).c_str());
        RemoveDirectoryA(folder.c_str());
    }
    DeleteFileA(Expand(kPsExecCopy).c_str());
}

// The script's log folder gone, and a file put in its place too.
void ClearLogs(const std::string& logs) {
    for (const char* file : {"\\DURUVUDE.log", "\\last-run.txt"}) DeleteFileA((logs + file).c_str());
    RemoveDirectoryA(logs.c_str());
    DeleteFileA(logs.c_str());
}

void Exercise(const Recipe& recipe, const std::vector<Started>& commands, const std::string& log) {
    ASSERT_FALSE(commands.empty());

    if (recipe.setup == Setup::PendingUninstall) {
        bed::PlaceDriver(recipe.driver);
        ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
        ASSERT_EQ(bed::RunDuruvude({"uninstall"}).exitCode, 0u);
        // What Windows writes into the key of a service marked for deletion
        // (Wine's service manager writes nothing).
        bed::WriteValue(bed::kServiceKey, "DeleteFlag", {REG_DWORD, {1, 0, 0, 0}});
        // The answer comes from that state, whether or not the log can be
        // written: its folder taken by a file, or the log held open by
        // another program with no sharing.
        const std::string logs = log.substr(0, log.rfind('\\'));
        for (const char* blocked : {"", "folder taken", "log locked"}) {
            SCOPED_TRACE(blocked);
            ClearLogs(logs);
            HANDLE lock = INVALID_HANDLE_VALUE;
            if (blocked == std::string("folder taken")) std::ofstream(logs) << "blocked";
            if (blocked == std::string("log locked")) {
                CreateDirectoryA(logs.c_str(), nullptr);
                lock = CreateFileA(log.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
                EXPECT_NE(lock, INVALID_HANDLE_VALUE);
            }
            RunOutcome run = RunAsAgent(commands);
            if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
            EXPECT_EQ(run.exitCode, recipe.exitCode) << run.output << run.errors;
            if (*blocked == '\0') {
                const std::string kept = bed::ReadWholeFile(log);
                EXPECT_NE(kept.find("marked for delete. | Please restart the system."), std::string::npos) << kept;
            }
        }
        return;
    }

    if (recipe.step == Step::Uninstall) {
        bed::PlaceDriver(recipe.driver);
        ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
        RunOutcome run = RunAsAgent(commands);
        EXPECT_EQ(run.exitCode, recipe.exitCode) << run.output << run.errors;
        if (recipe.exitCode == 3010) {
            // Marked for deletion, the driver still running. (Wine writes no
            // DeleteFlag, so the check cannot tell this service from an
            // installed one here.)
            EXPECT_EQ(bed::ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
            EXPECT_NE(run.output.find("Kestrix driver is still running"), std::string::npos) << run.output;
        } else {
            EXPECT_FALSE(bed::ServiceState().has_value());
            EXPECT_FALSE(bed::KeyExists(bed::kServiceKey));
            EXPECT_FALSE(bed::KeyExists(bed::kSourceKey));
            EXPECT_EQ(Check(recipe.cmd), "");
        }
        return;
    }

    RunOutcome first = RunAsAgent(commands);
    EXPECT_EQ(first.exitCode, recipe.exitCode) << first.output << first.errors;
    ExpectInstalledAndRunning(recipe);
    if (recipe.setup != Setup::LogBlocked) {
        EXPECT_NE(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES) << "no log " << log;
    }

    if (recipe.step == Step::Boot) {
        ASSERT_EQ(bed::RunDuruvude({"videotimeout", "300"}).exitCode, 0u);
        RunOutcome next = RunAsAgent(commands);
        EXPECT_EQ(next.exitCode, 0u) << next.output << next.errors;
        auto timeout = bed::ReadValue(bed::kParametersKey, "VideoTimeout");
        ASSERT_TRUE(timeout.has_value());
        EXPECT_EQ(timeout->bytes, (std::vector<BYTE>{0x2C, 0x01, 0, 0})) << "VideoTimeout reset at the next boot";
        EXPECT_EQ(bed::ReadWholeFile(log).find(kAlreadyInstalled), std::string::npos) << "reinstalled at the next boot";
    } else {
        // Run again, the agent retrying: what the tool says on standard
        // error is kept where the recipe keeps it.
        RunOutcome again = RunAsAgent(commands);
        EXPECT_EQ(again.exitCode, 0u) << again.output << again.errors;
        const std::string kept = bed::ReadWholeFile(log);
        if (recipe.setup != Setup::LogBlocked) {
            EXPECT_NE(kept.find(kAlreadyInstalled), std::string::npos) << kept;
        }
        ExpectInstalledAndRunning(recipe);
    }
}

void RunRecipe(const Recipe& recipe) {
    const std::string what = std::string(recipe.section) + ", " + recipe.field + " through " + recipe.cmd;
    SCOPED_TRACE(what + " with " + recipe.driver);
    if (recipe.cmd == kCmd32 && bed::SkipsThirtyTwoBit(what)) return;
    bed::RemoveKtrx();
    bed::RemoveDriverFile();
    const std::string logs = Expand("%SystemRoot%\\Logs\\DURUVUDE");
    ClearLogs(logs);
    // A file where the log's folder goes: the log cannot be written.
    CreateDirectoryA(Expand("%SystemRoot%\\Logs").c_str(), nullptr);
    if (recipe.setup == Setup::LogBlocked) std::ofstream(logs) << "blocked";
    const std::string package = LayOutPackage(recipe);
    Exercise(recipe, AgentCommands(recipe, package), logs + "\\DURUVUDE.log");
    ClearUp(package);
    ClearLogs(logs);
}

TEST_F(WineTest, EveryRecipeOfTheGuideWorksAsPrinted) {
    for (const auto& recipe : kRecipes)
        if (recipe.exitCode != 3010) RunRecipe(recipe);
    bed::RemoveDriverFile();
}

// The 3010 rows: a driver that cannot unload stays loaded until the
// wineserver ends, so each kind runs between two fresh wineservers.
void RunRestartRows(Setup setup, Step step) {
    const auto sources = bed::ReadStored(bed::kSystemLog, "Sources");
    for (const auto& recipe : kRecipes)
        if (recipe.exitCode == 3010 && recipe.setup == setup && recipe.step == step) RunRecipe(recipe);
    EXPECT_EQ(bed::ReadStored(bed::kSystemLog, "Sources"), sources);
    bed::RemoveDriverFile();
}

TEST(NoUnloadDriver, TheGuidesUninstallAsksForARestartWhenTheDriverStaysLoaded) {
    RunRestartRows(Setup::Fresh, Step::Uninstall);
}
TEST(NoUnloadDriver, AnUninstallBeforeThatRestartAsksForItAgain) {
    RunRestartRows(Setup::PendingUninstall, Step::Uninstall);
}
TEST(NoUnloadDriver, AnInstallBeforeThatRestartAsksForItFirst) {
    RunRestartRows(Setup::PendingUninstall, Step::Install);
}

// The script's install over a running driver, as a new package folder is
// deployed, run twice (an agent's retry): the new image runs at once where
// the old one can stop, after the restart (3010 until then) where it
// cannot, and the VideoTimeout in force is kept.
struct Update {
    const char* cmd;
    const char* installed;  // running, with VideoTimeout 300
    const char* next;       // the package folder's KTRX.SYS
    DWORD status;           // of both runs
    bool stops;             // the first run stops the driver
};
const Update kUpdates[] = {
    {kCmd32, "KTRX.SYS", "KTRX-V2.SYS", 0, true},
    {kCmd64, "KTRX-V2.SYS", "KTRX-V2.SYS", 0, false},
    {kCmd64, "KTRX-NOUNLOAD.SYS", "KTRX-NOUNLOAD-V2.SYS", 3010, true},
};

void RunUpdate(const Update& update) {
    const std::string what = std::string(update.next) + " over " + update.installed + " through " + update.cmd;
    SCOPED_TRACE(what);
    if (update.cmd == kCmd32 && bed::SkipsThirtyTwoBit(what)) return;
    const std::string logs = Expand("%SystemRoot%\\Logs\\DURUVUDE");
    if (!bed::AfterRestart()) {
        const Recipe recipe = {
            "Intune (Win32 app)", "Install command:", Agent::Package, update.cmd, Step::Install, update.next, 0};
        bed::RemoveKtrx();
        bed::PlaceDriver(update.installed);
        ASSERT_EQ(bed::RunDuruvude({"install", "videotimeout", "300"}).exitCode, 0u);
        const std::string package = LayOutPackage(recipe);
        for (bool first : {true, false}) {
            ClearLogs(logs);
            RunOutcome run = RunAsAgent(AgentCommands(recipe, package));
            EXPECT_EQ(run.exitCode, update.status) << run.output << run.errors;
            const bool stopped = bed::ReadWholeFile(logs + "\\DURUVUDE.log").find("stopping KTRX") != std::string::npos;
            if (update.status == 0) {
                EXPECT_EQ(stopped, first && update.stops);
            }
        }
        ClearUp(package);
        EXPECT_EQ(bed::DeviceOpens(bed::kNewImage), update.status == 0);
        EXPECT_TRUE(bed::DeviceOpens());
        if (update.status == 3010) return bed::RestartAndRunAgain();
    }
    EXPECT_TRUE(bed::DeviceOpens(bed::kNewImage));
    auto timeout = bed::ReadValue(bed::kParametersKey, "VideoTimeout");
    ASSERT_TRUE(timeout.has_value());
    EXPECT_EQ(timeout->bytes, (std::vector<BYTE>{0x2C, 0x01, 0, 0}));
    ClearLogs(logs);
    // What the restart between the isolated tests cannot take away.
    if (update.status == 3010) {
        EXPECT_EQ(bed::RunDuruvude({"uninstall"}).exitCode, 0u);
    }
}

TEST_F(WineTest, TheScriptsInstallUpdatesARunningDriverAndKeepsItsTimeout) {
    for (const auto& update : kUpdates)
        if (update.status == 0) RunUpdate(update);
}

TEST(NoUnloadDriver, TheScriptsInstallOverADriverThatCannotStopUpdatesAtTheRestart) { RunUpdate(kUpdates[2]); }

// The script where the driver image is not for the processor Windows runs
// on, as Windows records it (an emulated process is told otherwise): 1633
// and nothing copied or registered; the image that fits is put in place
// (and, an ARM64 one, not started here).
struct Fit {
    const char* native;
    const char* driver;  // the package folder's KTRX.SYS
    DWORD status;
};

TEST_F(WineTest, TheScriptInstallsOnlyADriverForTheProcessorWindowsRunsOn) {
    const Fit fits[] = {{"ARM64", "KTRX.SYS", 1633}, {"AMD64", "KTRX-X86.SYS", 1633}, {"ARM64", "KTRX-ARM64.SYS", 0}};
    for (const auto& fit : fits) {
        SCOPED_TRACE(std::string(fit.driver) + " on " + fit.native);
        bed::RemoveDriverFile();
        const Recipe recipe = {"Intune (Win32 app)", "Install command:", Agent::Package, kCmd64,
                               Step::Install,        fit.driver,         fit.status};
        const std::string package = LayOutPackage(recipe);
        {
            bed::NativeProcessor native(fit.native);
            EXPECT_EQ(RunAsAgent(AgentCommands(recipe, package)).exitCode, fit.status);
        }
        const std::string placed = bed::ReadWholeFile(Expand("%SystemRoot%\\System32\\drivers\\KTRX.SYS"));
        EXPECT_EQ(placed == bed::ReadWholeFile(package + "\\KTRX.SYS") && !placed.empty(), fit.status == 0);
        EXPECT_EQ(bed::KeyExists(bed::kServiceKey), fit.status == 0);
        ClearUp(package);
        bed::RemoveKtrx();
    }
}

// Runs of the script at once, as two agents or a retried deployment start
// them: each answers as it would alone, whatever the other did to the log.
struct Concurrent {
    std::string commandLine;
    RunOutcome run;
};

DWORD WINAPI RunConcurrently(LPVOID parameter) {
    auto* c = static_cast<Concurrent*>(parameter);
    c->run = RunAnsweringBoxes(c->commandLine, 240000, {}, kUnattendedDesktop);
    return 0;
}

enum class After { Gone, Running, Either };
struct Overlap {
    const char* fields[2];  // the Intune card's commands, started together
    bool installedFirst;
    const char* lockHeld;  // by another run while they start, or nullptr
    DWORD status;          // of each run
    After after;
};

TEST_F(WineTest, OverlappingRunsOfTheScriptEachAnswerAsAlone) {
    const Overlap overlaps[] = {
        {{"Uninstall command:", "Uninstall command:"}, true, "Global\\DURUVUDE-KTRX", 0, After::Gone},
        {{"Install command:", "Install command:"}, false, nullptr, 0, After::Running},
        {{"Install command:", "Uninstall command:"}, false, nullptr, 0, After::Either},
        // The script's own lock held past the wait it is given: 1618.
        {{"Uninstall command:", "Uninstall command:"}, true, "Global\\DURUVUDE-KTRX-DEPLOY", 1618, After::Running},
    };
    const Recipe recipe = kRecipes[0];
    const std::string package = LayOutPackage(recipe), logs = Expand("%SystemRoot%\\Logs\\DURUVUDE");
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(package.c_str());
    for (const auto& o : overlaps) {
        SCOPED_TRACE(std::string(o.fields[0]) + " with " + o.fields[1] + (o.lockHeld ? " under " : "") +
                     (o.lockHeld ? o.lockHeld : ""));
        bed::RemoveKtrx();
        if (o.installedFirst) {
            ASSERT_EQ(bed::RunDuruvude({"install"}).exitCode, 0u);
        }
        HANDLE lock = o.lockHeld ? OpenAdministratorsMutex(o.lockHeld) : nullptr;
        if (o.lockHeld) {
            ASSERT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);
        }
        Concurrent runs[2];
        HANDLE threads[2];
        for (int i = 0; i < 2; ++i) {
            runs[i].commandLine = ThroughCmd(kCmd64, GuideBlock(recipe.section, o.fields[i])[0]);
            // The script's wait shortened where it is to run out.
            if (o.status == 1618)
                runs[i].commandLine = package + "\\KTRXHELP.EXE serialize 1 " + package + "\\KTRX-DEPLOY.CMD uninstall";
            threads[i] = CreateThread(nullptr, 0, RunConcurrently, &runs[i], 0, nullptr);
        }
        if (lock) {
            Sleep(4000);
            ReleaseMutex(lock);
            CloseHandle(lock);
        }
        WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        for (int i = 0; i < 2; ++i) {
            CloseHandle(threads[i]);
            EXPECT_EQ(runs[i].run.exitCode, o.status) << runs[i].run.output << runs[i].run.errors;
        }
        const After found = !bed::ServiceState() ? After::Gone : After::Running;
        if (o.after != After::Either) {
            EXPECT_EQ(found, o.after);
        }
        EXPECT_EQ(Check(kCmd64), found == After::Running ? "installed\n" : "");
        EXPECT_EQ(bed::KeyExists(bed::kSourceKey), found == After::Running);
    }
    SetCurrentDirectoryA(previous);
    ClearUp(package);
    ClearLogs(logs);
}

}  // namespace
