// Every platform call of a run failed in turn. For each scenario the run is
// made once to learn its calls, then once per call k and error code with the
// kth call failing. Each faulty run must leave nothing open, end with the
// status the tool's rules give for a failure at that point, show only the
// tool's own messages, report the failure with the code that was injected,
// wait no longer than the stop poll allows, and change nothing in the
// registry outside what the tool owns, least of all another entry of
// "Sources".
//
// The kill mode ends a run at each of its platform calls in turn, as a
// killed process ends, then runs the same command again on what it left:
// that run must leave exactly what a run that was never killed leaves, and
// a third must change nothing.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <numeric>
#include <set>

#include "harness.h"

namespace {

using harness::RunDuruvude;

enum class Kind { Usage, Timeout, FreshInstall, Reinstall, RemoveRunning, RemoveStopped };

struct Scenario {
    const char* name;
    Kind kind;
    std::vector<std::string> args;
    std::function<void()> layOut;
};

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"usage box with a stored value",
         Kind::Usage,
         {},
         [] { standin::PutDword(harness::kParameters, "VideoTimeout", 300); }},
        {"timeout-only run",
         Kind::Timeout,
         {"videotimeout", "500"},
         [] { harness::LayOutInstalledDriver(SERVICE_RUNNING); }},
        {"fresh install", Kind::FreshInstall, {"install", "videotimeout", "300"}, [] {}},
        {"install over a running driver",
         Kind::Reinstall,
         {"install"},
         [] { harness::LayOutInstalledDriver(SERVICE_RUNNING); }},
        {"uninstall of a running driver",
         Kind::RemoveRunning,
         {"uninstall"},
         [] { harness::LayOutInstalledDriver(SERVICE_RUNNING); }},
        {"uninstall of a stopped driver",
         Kind::RemoveStopped,
         {"uninstall"},
         [] { harness::LayOutInstalledDriver(SERVICE_STOPPED); }},
        {"install over a stopped driver",
         Kind::Reinstall,
         {"install", "videotimeout", "7"},
         [] { harness::LayOutInstalledDriver(SERVICE_STOPPED); }},
        {"install without the driver file",
         Kind::FreshInstall,
         {"install"},
         [] { standin::RemoveFile("C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS"); }},
        {"uninstall of a driver slow to stop",
         Kind::RemoveRunning,
         {"uninstall"},
         [] {
             harness::LayOutInstalledDriver(SERVICE_RUNNING);
             standin::SetStopBehaviour("KTRX", standin::StopBehaviour::Pending, 3);
         }},
    };
    return scenarios;
}

// The codes to inject at a call: access denied and lack of memory
// everywhere, and the codes the tool acts on where it acts on them.
std::vector<DWORD> CodesFor(const std::string& op) {
    std::vector<DWORD> codes = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY};
    if (op == "CreateServiceA") codes.insert(codes.end(), {ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_EXISTS});
    if (op == "OpenServiceA")
        codes.insert(codes.end(), {ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_MARKED_FOR_DELETE});
    if (op == "StartServiceA") codes.push_back(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (op == "DeleteService")
        codes.insert(codes.end(), {ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_DOES_NOT_EXIST});
    if (op == "RegDeleteKeyA") codes.push_back(ERROR_FILE_NOT_FOUND);
    if (op == "OpenThreadToken") codes.push_back(ERROR_NO_TOKEN);
    if (op == "ControlService") codes.push_back(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    // "Sources" grown between its size and its data: read again.
    if (op == "RegQueryValueExW") codes.push_back(ERROR_MORE_DATA);
    return codes;
}

bool IsRegistryCall(const std::string& op) { return op.rfind("Reg", 0) == 0; }

// The status the tool's rules give when call op fails with code, given the
// status of the run without faults; sourcesBuffer tells a LocalAlloc for
// "Sources" (after the service manager is open) from the token check's.
int ExpectedStatus(Kind kind, const std::string& op, DWORD code, int clean, bool sourcesBuffer) {
    if (op == "FormatMessageA") return clean;                               // only the box's text
    if (op == "MessageBoxA") return clean;                                  // the line instead of the box
    if (op == "RegQueryValueExW" && code == ERROR_MORE_DATA) return clean;  // read again
    // Whether anyone can see a box, and the installation lock: what cannot
    // be told shows the box, and the run goes on without the lock.
    static const std::set<std::string> goesOn = {"ProcessIdToSessionId",
                                                 "GetProcessWindowStation",
                                                 "GetUserObjectInformationA",
                                                 "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                                                 "CreateMutexA",
                                                 "GetSecurityInfo",
                                                 "WaitForSingleObject"};
    if (goesOn.count(op)) return clean;
    if (op == "OpenThreadToken" && code == ERROR_NO_TOKEN) return clean;      // as without impersonation
    if (op == "CreateFileA") return clean;                                    // the probe: "not running"
    if (op == "RegDeleteKeyA" && code == ERROR_FILE_NOT_FOUND) return clean;  // already gone
    switch (kind) {
    case Kind::Usage:
        return -1;
    case Kind::Timeout:
        return -1;
    case Kind::FreshInstall:
    case Kind::Reinstall:
        // The start's failures do not undo a complete registration.
        if (op == "OpenServiceA" || op == "StartServiceA") return clean;
        // "Exists" goes on as if created: right only where the service does exist.
        if (op == "CreateServiceA" && code == ERROR_SERVICE_EXISTS) return kind == Kind::Reinstall ? clean : -1;
        return -1;
    case Kind::RemoveRunning:
    case Kind::RemoveStopped:
        // The stop and the event-log removal do not stop the deletion, and
        // the status asked after it only adds a line.
        if (op == "ControlService" || op == "QueryServiceStatus" || IsRegistryCall(op) ||
            (op == "LocalAlloc" && sourcesBuffer))
            return clean;
        return -1;
    }
    return -1;
}

const std::vector<std::string>& Messages() {
    static const std::vector<std::string> messages = {
        "Invalid timeout value",
        "Administrator privileges are required to install/configure the driver",
        "Failed to open Service Control Manager",
        "Failed to open HKLM KTRX key, driver not installed ?",
        "Failed to set HKLM KTRX VideoTimeout value",
        "Failed to open HKLM EventLog key",
        "Failed to create HKLM EventLog KTRX key",
        "Failed to set HKLM EventLog KTRX EventMessageFile value",
        "Failed to set HKLM EventLog KTRX TypesSupported value",
        "Failed to read HKLM EventLog Sources value",
        "Failed to add KTRX to EventLog sources value",
        "Failed to delete HKLM EventLog KTRX key",
        "Failed to set HKLM EventLog Sources value",
        "Failed to read the system directory",
        "Attempt to install driver, service marked for delete.\nPlease restart the system.",
        "Attempt to install driver, driver already installed",
        "Failed to Create Service",
        "Failed to open HKLM KTRX key",
        "Failed to create HKLM EventLog KTRX\\Parameters key",
        "Attempt to start driver, service marked for delete.\nPlease restart the system.",
        "Failed to start driver",
        "Attempt to open service, service is marked for delete.\nPlease restart the system.",
        "Failed to open Service",
        "Attempt to delete KTRX, service marked for delete.\nPlease restart the system.",
        "Failed to delete KTRX service",
    };
    return messages;
}

// Messages that explain themselves: the tool's rules give them no code.
bool IsCodeless(const std::string& message) {
    static const std::set<std::string> codeless = {
        "Invalid timeout value",
        "Administrator privileges are required to install/configure the driver",
        "Attempt to install driver, service marked for delete.\nPlease restart the system.",
        "Attempt to install driver, driver already installed",
        "Attempt to start driver, service marked for delete.\nPlease restart the system.",
        "Attempt to open service, service is marked for delete.\nPlease restart the system.",
        "Attempt to delete KTRX, service marked for delete.\nPlease restart the system.",
    };
    return codeless.count(message) != 0;
}

// The first error box of this run that the fault-free run did not show.
const standin::Box* FirstNewErrorBox(const std::vector<std::string>& cleanErrorTexts) {
    for (const auto& box : standin::Boxes())
        if (box.title == harness::kErrorTitle &&
            std::find(cleanErrorTexts.begin(), cleanErrorTexts.end(), box.text) == cleanErrorTexts.end())
            return &box;
    return nullptr;
}

// Whether the box a failure of op with code brought says what the tool's
// rules make it say: the message followed by the system's text for that
// very code, or the message alone where the rules give no code or where
// the injected failure was the box's own FormatMessageA.
bool CarriesTheInjectedCode(const standin::Box& box, const std::string& op, DWORD code) {
    for (const auto& message : Messages()) {
        std::string head = message + "; ";
        if (box.text.rfind(head, 0) != 0) continue;
        std::string tail = box.text.substr(head.size());
        if (op == "FormatMessageA") return tail.empty();
        return tail.empty() ? IsCodeless(message) : tail == harness::SystemText(code);
    }
    return false;
}

// A failed interrogation fills no status: the poll must end with it, since
// the record was cleared before it.
bool PollWentOnAfterAFailedInterrogation() {
    const auto& log = standin::CallLog();
    for (size_t at : standin::InjectedCalls())
        if (at > 0 && log[at] == "ControlService" && log[at - 1] == "Sleep" &&
            std::find(log.begin() + static_cast<std::ptrdiff_t>(at) + 1, log.end(), "Sleep") != log.end())
            return true;
    return false;
}

bool IsToolsOwnBox(const standin::Box& box) {
    if (box.title == harness::kUsageTitle || box.title == harness::kNoticeTitle) return box.flags == 0x40;
    if (box.title != harness::kErrorTitle || box.flags != 0x1010) return false;
    for (const auto& message : Messages()) {
        std::string head = message + "; ";
        if (box.text.rfind(head, 0) != 0) continue;
        std::string tail = box.text.substr(head.size());
        if (tail.empty()) return true;
        for (DWORD code = 1; code < 2000; ++code)
            if (tail == harness::SystemText(code)) return true;
    }
    return false;
}

// The registry without what the tool owns, "Sources" without KTRX.
std::string ForeignRegistry() {
    std::string dump = standin::DumpRegistry();
    std::string kept;
    bool owned = false;
    size_t start = 0;
    while (start < dump.size()) {
        size_t end = dump.find('\n', start);
        std::string line = dump.substr(start, end - start);
        start = end + 1;
        if (line.rfind("[", 0) == 0) {
            std::string upper;
            for (char c : line) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            owned = upper.rfind("[HKLM\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\KTRX", 0) == 0 ||
                    upper.rfind("[HKLM\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\EVENTLOG\\SYSTEM\\KTRX", 0) == 0;
        }
        if (!owned && line.find("\"Sources\"") == std::string::npos) kept += line + "\n";
    }
    for (const auto& entry : harness::SourcesEntries()) {
        std::string upper;
        for (char c : entry) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (upper != "KTRX") kept += "Sources entry " + entry + "\n";
    }
    kept += "Sources type " + std::to_string(standin::GetValue(harness::kSystemLog, "Sources")->type);
    return kept;
}

struct Tally {
    int scenarios = 0;
    int injected = 0;
    int violations = 0;
};

void Violation(Tally& tally, const Scenario& s, long k, const std::string& op, DWORD code, const std::string& what) {
    ++tally.violations;
    ADD_FAILURE() << s.name << ": call " << k << " (" << op << ") failing with " << code << ": " << what;
}

// A fresh machine laid out for the scenario, the tool's one value at its default.
void LayOut(const Scenario& s) {
    standin::ResetMachine();
    CurrentVideoTimeout = 20000;
    s.layOut();
}

class FaultSweep : public harness::StandinTest {};

TEST_F(FaultSweep, NoFailingCallCrashesLeaksLiesOrDamagesTheRegistry) {
    Tally tally;
    for (const auto& s : Scenarios()) {
        ++tally.scenarios;
        LayOut(s);
        const int clean = RunDuruvude(s.args).status;
        const std::vector<std::string> calls = standin::FailableCalls();
        std::vector<std::string> cleanErrorTexts;
        for (const auto& box : standin::Boxes())
            if (box.title == harness::kErrorTitle) cleanErrorTexts.push_back(box.text);
        ASSERT_GE(calls.size(), 2u) << s.name;

        for (long k = 1; k <= static_cast<long>(calls.size()); ++k) {
            const std::string& op = calls[k - 1];
            for (DWORD code : CodesFor(op)) {
                ++tally.injected;
                SetLastError(0);
                LayOut(s);
                const std::string foreign = ForeignRegistry();
                standin::FailNthCall(k, code);
                const int status = RunDuruvude(s.args).status;

                const bool sourcesBuffer =
                    std::find(calls.begin(), calls.begin() + (k - 1), "OpenSCManagerA") != calls.begin() + (k - 1);
                int expected = ExpectedStatus(s.kind, op, code, clean, sourcesBuffer);
                if (status != expected)
                    Violation(tally, s, k, op, code,
                              "status " + std::to_string(status) + ", expected " + std::to_string(expected));
                if (standin::Open().Total() != 0) Violation(tally, s, k, op, code, "something left open");
                if (standin::BoxesAfterPendingOutput() != 0)
                    Violation(tally, s, k, op, code, "a box came before the output ahead of it was written");
                for (const auto& box : standin::Boxes())
                    if (!IsToolsOwnBox(box)) Violation(tally, s, k, op, code, "unknown box: " + box.text);
                // A failed probe legitimately leads elsewhere (a start that
                // finds the driver running): any of the tool's boxes will do.
                const standin::Box* reported = FirstNewErrorBox(cleanErrorTexts);
                if (reported && op != "CreateFileA" && !CarriesTheInjectedCode(*reported, op, code))
                    Violation(tally, s, k, op, code, "reported without the injected code: " + reported->text);
                const auto& sleeps = standin::Sleeps();
                if (std::accumulate(sleeps.begin(), sleeps.end(), 0ull) > 5000)
                    Violation(tally, s, k, op, code, "slept more than five seconds");
                if (PollWentOnAfterAFailedInterrogation())
                    Violation(tally, s, k, op, code, "the stop poll went on after a failed interrogation");
                if (ForeignRegistry() != foreign) Violation(tally, s, k, op, code, "registry outside KTRX changed");
            }
        }
    }
    std::printf("fault sweep: %d scenarios, %d injected failures, %d violations\n", tally.scenarios, tally.injected,
                tally.violations);
    EXPECT_GE(tally.injected, 200);
    EXPECT_EQ(tally.violations, 0);
}

// What a run leaves that the next run and the system see: the registry, and
// the KTRX service as the service manager keeps it.
std::string MachineState() {
    std::string state = standin::DumpRegistry();
    if (auto service = standin::GetService("KTRX")) {
        state += "service " + service->binaryPath + " " + service->loadOrderGroup + " " +
                 std::to_string(service->serviceType) + " " + std::to_string(service->startType) + " state " +
                 std::to_string(service->state) + (service->markedForDelete ? " marked for delete" : "");
    }
    return state;
}

// The status a run gives on the state it finds: only an uninstall that
// finds no service fails, with the one line that says so.
int StatusOnWhatItFinds(const Scenario& s) {
    bool uninstall = s.kind == Kind::RemoveRunning || s.kind == Kind::RemoveStopped;
    return uninstall && !standin::GetService("KTRX") ? -1 : 0;
}

// install, install videotimeout 300, uninstall (driver running and stopped)
// and videotimeout 300.
std::vector<Scenario> KillScenarios() {
    std::vector<Scenario> scenarios = {{"install", Kind::FreshInstall, {"install"}, [] {}}};
    for (const auto& s : Scenarios())
        if (s.name == std::string("fresh install") || s.kind == Kind::RemoveStopped ||
            s.name == std::string("uninstall of a running driver"))
            scenarios.push_back(s);
    scenarios.push_back(
        {"videotimeout 300", Kind::Timeout, {"videotimeout", "300"}, [] { harness::LayOutInstalledDriver(); }});
    return scenarios;
}

TEST_F(FaultSweep, ARunKilledAtAnyCallIsCompletedByTheNextRun) {
    Tally tally;
    for (const auto& s : KillScenarios()) {
        int notInstalled = 0;  // reruns that found the service already gone
        LayOut(s);
        RunDuruvude(s.args);
        const std::string clean = MachineState();
        const long calls = static_cast<long>(standin::CallLog().size());
        ASSERT_GE(calls, 2) << s.name;
        for (long n = 1; n <= calls; ++n) {
            ++tally.injected;
            LayOut(s);
            const std::string foreign = ForeignRegistry();
            standin::KillAtCall(n);
            bool killed = false;
            try {
                RunDuruvude(s.args);
            } catch (const standin::Killed&) {
                killed = true;
            }
            standin::EndProcess();
            if (!killed) Violation(tally, s, n, "", 0, "the run ended before its call " + std::to_string(n));

            // The same command again, as a retrying agent or person gives it.
            for (int rerun = 2; rerun <= 3; ++rerun) {
                const std::string before = MachineState();
                const int expected = StatusOnWhatItFinds(s);
                if (rerun == 2 && expected == -1) ++notInstalled;
                CurrentVideoTimeout = 20000;
                const int status = RunDuruvude(s.args).status;
                const std::string what = "run " + std::to_string(rerun) + " after a kill";
                if (status != expected)
                    Violation(tally, s, n, "", 0,
                              what + ": status " + std::to_string(status) + ", expected " + std::to_string(expected));
                if (MachineState() != clean)
                    Violation(tally, s, n, "", 0, what + " left another state than a run never killed");
                if (rerun == 3 && MachineState() != before) Violation(tally, s, n, "", 0, what + " changed something");
                if (standin::Open().Total() != 0) Violation(tally, s, n, "", 0, what + " left something open");
                if (ForeignRegistry() != foreign)
                    Violation(tally, s, n, "", 0, what + ": registry outside KTRX changed");
            }
        }
        std::printf("kill sweep: %s: %ld kill points, %d of them rerun on a service already gone\n", s.name, calls,
                    notInstalled);
    }
    std::printf("kill sweep: %d kill points, %d violations\n", tally.injected, tally.violations);
    EXPECT_EQ(tally.violations, 0);
}

}  // namespace
