// Times DURUVUDE's full cycle against the same cycle done with the system's
// sc.exe and reg.exe, and against the limit: limit.exe making only the
// platform calls of the cycle, in three processes as DURUVUDE does. The
// contenders alternate within each round; every command runs through the
// box-answering runner, so each pays the same start cost.
//
// bench.exe DURUVUDE.EXE LIMIT.EXE [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runner.h"

namespace {

const char kSystemLog[] = "System\\CurrentControlSet\\Services\\EventLog\\System";

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Runs each command, adding its time to steps; false, after saying which,
// when one does not end with 0.
bool RunAll(const std::vector<std::string>& commands, double& seconds, std::vector<std::vector<double>>& steps) {
    double start = Now();
    steps.resize(commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        const std::string& command = commands[i];
        double stepStart = Now();
        RunOutcome outcome = RunAnsweringBoxes(command, 60000);
        steps[i].push_back(Now() - stepStart);
        if (!outcome.started || outcome.timedOut || outcome.exitCode != 0) {
            std::fprintf(stderr, "bench: \"%s\" failed (exit 0x%08lX)\n%s", command.c_str(),
                         static_cast<unsigned long>(outcome.exitCode), outcome.output.c_str());
            return false;
        }
    }
    seconds = Now() - start;
    return true;
}

std::vector<BYTE> ReadSources(DWORD& type) {
    HKEY key = nullptr;
    std::vector<BYTE> data(65536);
    DWORD size = static_cast<DWORD>(data.size());
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemLog, 0, KEY_ALL_ACCESS, &key);
    RegQueryValueExA(key, "Sources", nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    data.resize(size);
    return data;
}

void WriteSources(DWORD type, const std::vector<BYTE>& data) {
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemLog, 0, KEY_ALL_ACCESS, &key);
    RegSetValueExA(key, "Sources", 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
}

bool ServiceGone() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_QUERY_STATUS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service == nullptr;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench DURUVUDE.EXE LIMIT.EXE [ROUNDS]\n");
        return 2;
    }
    const std::string tool = QuoteArgument(argv[1]);
    const std::string limitProgram = QuoteArgument(argv[2]);
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string sc = std::string(system) + "\\sc.exe";
    const std::string reg = std::string(system) + "\\reg.exe";
    const std::string image = std::string(system) + "\\drivers\\KTRX.SYS";
    const std::string services = "HKLM\\System\\CurrentControlSet\\Services\\";
    const std::string eventLog = services + "EventLog\\System";

    const std::vector<std::string> duruvude = {
        tool + " install videotimeout 300",
        tool + " videotimeout 500",
        tool + " uninstall",
    };
    const std::vector<std::string> peer = {
        sc + " create KTRX type= kernel start= auto error= normal binpath= " + image +
            " group= \"Extended Base\" displayname= \"Kestrix driver\"",
        reg + " add " + services + "KTRX\\Parameters /v VideoTimeout /t REG_DWORD /d 300 /f",
        reg + " add " + eventLog + "\\KTRX /v EventMessageFile /t REG_EXPAND_SZ /d " +
            "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS /f",
        reg + " add " + eventLog + "\\KTRX /v TypesSupported /t REG_DWORD /d 7 /f",
        reg + " add " + eventLog + " /v Sources /t REG_MULTI_SZ /d KTRX /f",
        sc + " start KTRX",
        reg + " add " + services + "KTRX\\Parameters /v VideoTimeout /t REG_DWORD /d 500 /f",
        sc + " stop KTRX",
        reg + " delete " + eventLog + "\\KTRX /f",
        reg + " add " + eventLog + " /v Sources /t REG_MULTI_SZ /d \"\" /f",
        sc + " delete KTRX",
    };
    const std::vector<std::string> limit = {
        limitProgram + " install",
        limitProgram + " videotimeout",
        limitProgram + " uninstall",
    };

    DWORD sourcesType = 0;
    const std::vector<BYTE> sources = ReadSources(sourcesType);
    std::vector<double> toolTimes, peerTimes, limitTimes;
    std::vector<std::vector<double>> toolSteps, peerSteps, limitSteps;
    for (int round = 0; round < rounds; ++round) {
        // Alternate the order so that neither contender always goes first.
        for (int turn = 0; turn < 3; ++turn) {
            int which = (turn + round) % 3;
            const auto& commands = which == 0 ? duruvude : which == 1 ? peer : limit;
            auto& times = which == 0 ? toolTimes : which == 1 ? peerTimes : limitTimes;
            auto& steps = which == 0 ? toolSteps : which == 1 ? peerSteps : limitSteps;
            double seconds = 0;
            if (!RunAll(commands, seconds, steps)) return 1;
            times.push_back(seconds);
            WriteSources(sourcesType, sources);
            for (int i = 0; i < 100 && !ServiceGone(); ++i) Sleep(20);
            if (!ServiceGone()) {
                std::fprintf(stderr, "bench: the KTRX service outlived its cycle\n");
                return 1;
            }
        }
    }
    double tool_ = Median(toolTimes), peer_ = Median(peerTimes), limit_ = Median(limitTimes);
    std::printf("rounds: %d (medians; each cycle runs its processes through the same runner)\n", rounds);
    std::printf("DURUVUDE cycle (3 runs):       %8.1f ms\n", tool_ * 1000);
    std::printf("sc.exe + reg.exe (11 runs):    %8.1f ms\n", peer_ * 1000);
    std::printf("limit cycle (3 runs):          %8.1f ms\n", limit_ * 1000);
    for (size_t i = 0; i < duruvude.size(); ++i)
        std::printf("  DURUVUDE %-24s %8.1f ms   limit %-14s %8.1f ms\n", duruvude[i].substr(tool.size() + 1).c_str(),
                    Median(toolSteps[i]) * 1000, limit[i].substr(limitProgram.size() + 1).c_str(),
                    Median(limitSteps[i]) * 1000);
    std::printf("DURUVUDE/limit: %.2f (goal at most 1.10)\n", tool_ / limit_);
    std::printf("DURUVUDE/peer:  %.2f (goal at most 0.45)\n", tool_ / peer_);
    return 0;
}
