// KTRXHELP.EXE: what KTRX-DEPLOY.CMD needs and cmd cannot do.
//
//   KTRXHELP fits KTRX.SYS
//
// ends with 0 where that driver image is built for the processor Windows
// runs on, 1633 (ERROR_INSTALL_PLATFORM_UNSUPPORTED) where it is not or
// that processor is none it knows, 1 where the file cannot be read.
//
//   KTRXHELP update KTRX.SYS
//
// puts that KTRX.SYS in the native System32\drivers by the update rule of
// deploy/update.h: 0 where the same file is there or it was put there (a
// driver that ran is then stopped, for DURUVUDE's install to start it
// again), 3010 where the driver cannot stop and the file goes in at the
// next restart, 1 where nothing could be done (said why).
//
//   KTRXHELP serialize SECONDS SCRIPT [ARGUMENT...]
//
// runs SCRIPT with its arguments through the system's cmd.exe, one run at a
// time on the machine: under a lock that only Administrators and LocalSystem
// can make or hold, waiting up to SECONDS for a run that holds it. It ends
// with the script's status; with 1618 (another installation is in progress,
// which the deployment agents retry) where the lock stayed held; with -1
// where the script could not be started. The script sees
// DURUVUDE_DEPLOY_SERIALIZED set, and so knows it runs under the lock.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/adminlock.h"
#include "deploy/machine.h"
#include "deploy/update.h"

namespace {

constexpr char kDeployLockName[] = "Global\\DURUVUDE-KTRX-DEPLOY";
constexpr char kSerializedVariable[] = "DURUVUDE_DEPLOY_SERIALIZED";
constexpr int kInstallInProgress = 1618;  // ERROR_INSTALL_ALREADY_RUNNING
constexpr int kFailed = -1;
constexpr int kUsage = 87;  // ERROR_INVALID_PARAMETER
constexpr int kNotPlaced = 1;
constexpr int kRestartRequired = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr int kWrongProcessor = 1633;   // ERROR_INSTALL_PLATFORM_UNSUPPORTED
constexpr char kUsageText[] =
    "usage: KTRXHELP fits KTRX.SYS | KTRXHELP update KTRX.SYS | KTRXHELP serialize SECONDS SCRIPT [ARGUMENT...]";

void Say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("KTRXHELP: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// An argument as cmd reads it back: bare where it holds only letters,
// digits and "._-", quoted otherwise, so that nothing in it is a command
// separator or a redirection. A double quote cannot be passed on.
bool AppendArgument(std::string& line, const char* argument) {
    bool plain = *argument != '\0';
    for (const char* c = argument; *c; ++c) {
        if (*c == '"') return false;
        const bool safe = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
                          *c == '.' || *c == '_' || *c == '-';
        plain = plain && safe;
    }
    line += ' ';
    line += plain ? argument : std::string("\"") + argument + '"';
    return true;
}

// The system folder (System32, by its native name), or nothing, said why.
std::string SystemFolder() {
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return folder;
    Say("cannot find the system folder: error %lu", static_cast<unsigned long>(GetLastError()));
    return {};
}

// Seconds to wait: a whole number from 1 to one day.
bool ParseSeconds(const char* text, DWORD& seconds) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || *text == '-' || *text == '+' || value < 1 || value > 86400) return false;
    seconds = static_cast<DWORD>(value);
    return true;
}

// Runs the command line (CreateProcessA may write into it) and gives its
// exit status, or kFailed.
int RunAndWait(std::string& commandLine, const std::string& program) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        const DWORD error = GetLastError();
        Say("cannot start %s: error %lu", program.c_str(), static_cast<unsigned long>(error));
        return kFailed;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = static_cast<DWORD>(kFailed);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

int Serialize(int argc, char** argv) {
    DWORD seconds = 0;
    if (argc < 4 || !ParseSeconds(argv[2], seconds)) {
        Say("%s", kUsageText);
        return kUsage;
    }
    // The system's own cmd.exe, by its full path, never one found in the
    // current folder; the script in double quotes, the whole in another
    // pair that cmd /c takes off.
    const std::string system = SystemFolder();
    if (system.empty()) return kFailed;
    const std::string cmd = system + "\\cmd.exe";
    std::string commandLine = "\"" + cmd + "\" /d /c \"\"" + argv[3] + "\"";
    for (int i = 4; i < argc; ++i)
        if (!AppendArgument(commandLine, argv[i])) {
            Say("an argument cannot hold a double quote");
            return kUsage;
        }
    commandLine += '"';

    HANDLE lock = OpenAdministratorsMutex(kDeployLockName);
    if (lock) {
        const DWORD wait = TakeAdministratorsMutex(lock, seconds * 1000, [] {
            std::printf("Waiting for another KTRX-DEPLOY.CMD run to finish\n");
            std::fflush(stdout);
        });
        if (wait == WAIT_TIMEOUT) {
            CloseHandle(lock);
            Say("another KTRX-DEPLOY.CMD run did not finish within %lu seconds", static_cast<unsigned long>(seconds));
            return kInstallInProgress;
        }
        if (wait != WAIT_OBJECT_0) {
            CloseHandle(lock);
            lock = nullptr;
        }
    }
    if (!lock) Say("going on without the deployment lock");
    SetEnvironmentVariableA(kSerializedVariable, "1");
    const int status = RunAndWait(commandLine, cmd);
    if (lock) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
    return status;
}

void SayLine(void*, const std::string& line) { Say("%s", line.c_str()); }

int Fits(const char* driver) {
    const WORD image = ImageMachine(driver), native = NativeMachine();
    if (image == 0) {
        Say("cannot read %s as a driver image: error %lu", driver, static_cast<unsigned long>(GetLastError()));
        return kNotPlaced;
    }
    if (native == 0) {
        Say("cannot tell the processor this Windows runs on: KTRX.SYS is not installed");
        return kWrongProcessor;
    }
    if (image == native) return 0;
    const std::string wanted = MachineName(native);
    Say("%s is a driver for %s, and this Windows runs on %s, whose kernel loads only %s drivers: use the package "
        "folder for %s",
        driver, MachineName(image).c_str(), wanted.c_str(), wanted.c_str(), wanted.c_str());
    return kWrongProcessor;
}

int Update(const char* source) {
    const std::string system = SystemFolder();
    if (system.empty()) return kNotPlaced;
    // The native System32\drivers\KTRX.SYS, where the kernel loads it from,
    // as this process reaches it.
    const std::string target = ReachableFromHere(system + "\\drivers\\KTRX.SYS");
    switch (UpdateDriverFile(source, target, Reporter{SayLine, nullptr})) {
    case UpdateResult::Same:
    case UpdateResult::Placed:
        return 0;
    case UpdateResult::AtRestart:
        return kRestartRequired;
    case UpdateResult::Failed:
        break;
    }
    return kNotPlaced;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "fits") == 0) return Fits(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "update") == 0) return Update(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "serialize") == 0) return Serialize(argc, argv);
    Say("%s", kUsageText);
    return kUsage;
}
