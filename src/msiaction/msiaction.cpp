// The custom actions of the Windows Installer packages. Each runs the
// installed DURUVUDE.EXE, so that a package installs, keeps and removes the
// Kestrix driver through the tool's own code, and copies every line the
// tool writes into the installer's log. The deferred actions get their
// CustomActionData as msiaction/actiondata.h reads it.
#include <windows.h>
// clang-format off
#include <msi.h>
#include <msiquery.h>
// clang-format on

#include <string>
#include <vector>

#include "deploy/update.h"
#include "msiaction/actiondata.h"

namespace {

constexpr char kServiceName[] = "KTRX";
// The tool's whole run, bounded: longer than its 60-second wait for the
// installation lock, its 5-second stop wait and a driver's start together.
constexpr DWORD kRunLimitMilliseconds = 180000;

// One line in the installer's log, marked as the tool's. The text goes in
// field 1: field 0 is a template, and a "[...]" in it would be formatted.
void Log(MSIHANDLE install, const std::string& text) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record) return;
    MsiRecordSetStringA(record, 0, "DURUVUDE: [1]");
    MsiRecordSetStringA(record, 1, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

std::string Property(MSIHANDLE install, const char* name) {
    DWORD size = 0;
    char empty[1] = "";
    if (MsiGetPropertyA(install, name, empty, &size) != ERROR_MORE_DATA) return {};
    std::vector<char> value(++size);
    if (MsiGetPropertyA(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
    return std::string(value.data(), size);
}

void LogLine(void* install, const std::string& line) { Log(*static_cast<MSIHANDLE*>(install), line); }

// A file's version from the fixed part of its version resource; "none"
// where it has none.
std::string FileVersion(const std::string& path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
        return "none";
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

// Whether the KTRX.SYS on disk is the package's own, or the restart puts it
// there; where it is neither, says which one is there and why.
bool DriverIsThePackages(MSIHANDLE install, const ActionData& data) {
    if (FileSha256(data.driver) == data.sha256) return true;
    if (RestartNoted()) {
        Log(install, "KTRX runs its old image until the restart, which puts this package's KTRX.SYS in place");
        return true;
    }
    Log(install, data.driver + " is version " + FileVersion(data.driver) + ", not this package's KTRX.SYS (version " +
                     data.version + "): Windows Installer keeps a file of a newer or the same version. Remove it, " +
                     "or install the package that carries it");
    return false;
}

ActionData ReadActionData(MSIHANDLE install) {
    ActionData data = ParseActionData(Property(install, "CustomActionData"));
    data.driver = ReachableFromHere(data.driver);
    return data;
}

// Sends each complete line of what the tool wrote to the log; a line's
// closing CR is dropped.
void LogLines(MSIHANDLE install, std::string& pending) {
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) Log(install, line);
    }
}

// A window station that nobody sees, made by this action, with a desktop in
// it: Windows makes no station by the name a process is started with, and a
// box of the tool's in a visible one would wait for a reader, and the
// installation with it. The name is this process's own.
struct UnseenStation {
    HWINSTA station = nullptr;
    HDESK desktop = nullptr;
    std::string name;
};

bool MakeUnseenStation(MSIHANDLE install, UnseenStation* made) {
    made->name = "DuruvudeSetup-" + std::to_string(GetCurrentProcessId());
    // Not WinSta0: no station but that one is ever visible.
    made->station = CreateWindowStationA(made->name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    if (!made->station) {
        Log(install, "cannot make a window station for DURUVUDE.EXE: error " + std::to_string(GetLastError()));
        return false;
    }
    // A desktop is made in the calling process's station.
    HWINSTA own = GetProcessWindowStation();
    DWORD error = ERROR_SUCCESS;
    if (SetProcessWindowStation(made->station)) {
        made->desktop = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        error = GetLastError();
        SetProcessWindowStation(own);
    } else {
        error = GetLastError();
    }
    if (!made->desktop) {
        CloseWindowStation(made->station);
        Log(install, "cannot make a desktop for DURUVUDE.EXE: error " + std::to_string(error));
        return false;
    }
    made->name += "\\Default";
    return true;
}

void CloseUnseenStation(const UnseenStation& made) {
    CloseDesktop(made.desktop);
    CloseWindowStation(made.station);
}

// Copies what the tool writes into the log until it ends, for at most
// kRunLimitMilliseconds; past that the tool is ended. True when it ended by
// itself.
bool FollowTool(MSIHANDLE install, HANDLE process, HANDLE readEnd) {
    const ULONGLONG deadline = GetTickCount64() + kRunLimitMilliseconds;
    std::string pending;
    char buffer[512];
    bool ended = false;
    for (;;) {
        DWORD available = 0, got = 0;
        // Fails once the pipe is empty and its writer gone.
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;
        if (available > 0) {
            if (!ReadFile(readEnd, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr)) break;
            pending.append(buffer, got);
            LogLines(install, pending);
        } else if (ended) {
            break;
        } else if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) {
            ended = true;
        } else if (GetTickCount64() >= deadline) {
            break;
        }
    }
    pending += '\n';
    LogLines(install, pending);
    if (ended || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
    TerminateProcess(process, ERROR_TIMEOUT);
    WaitForSingleObject(process, 10000);
    return false;
}

// Runs "EXE arguments" unseen, its standard input from NUL and its standard
// output and error into the log. Gives the tool's exit status, or nothing
// where it could not be started or did not end in time.
bool RunTool(MSIHANDLE install, const std::string& exe, const std::string& arguments, DWORD* status) {
    UnseenStation unseen;
    if (!MakeUnseenStation(install, &unseen)) return false;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    HANDLE input =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE || !CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        Log(install, "cannot make the standard handles of DURUVUDE.EXE: error " + std::to_string(GetLastError()));
        if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
        CloseUnseenStation(unseen);
        return false;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = unseen.name.data();
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    Log(install, "running " + commandLine);
    const BOOL started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    CloseHandle(input);
    if (!started) {
        CloseHandle(readEnd);
        CloseUnseenStation(unseen);
        Log(install, "cannot start " + exe + ": error " + std::to_string(startError));
        return false;
    }
    CloseHandle(process.hThread);
    const bool ended = FollowTool(install, process.hProcess, readEnd);
    CloseHandle(readEnd);
    if (ended) GetExitCodeProcess(process.hProcess, status);
    CloseHandle(process.hProcess);
    CloseUnseenStation(unseen);
    if (!ended) {
        Log(install, "DURUVUDE.EXE did not finish within " + std::to_string(kRunLimitMilliseconds / 1000) +
                         " seconds and was ended");
        return false;
    }
    Log(install, "DURUVUDE.EXE ended with " + std::to_string(static_cast<int>(*status)));
    return true;
}

// The tool's 0 is success; its -1, or a tool that could not be started, a
// failed installation.
UINT RunForResult(MSIHANDLE install, const std::string& exe, const std::string& arguments) {
    DWORD status = 0;
    return RunTool(install, exe, arguments, &status) && status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Whether the service KTRX exists (marked for deletion or not); a service
// manager that cannot be asked counts as yes.
bool ServiceExists() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return true;
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
    const DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error != ERROR_SERVICE_DOES_NOT_EXIST;
}

bool ToolIsThere(MSIHANDLE install, const std::string& exe) {
    if (GetFileAttributesA(exe.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Log(install, exe + " is not there: the driver is left as it is");
    return false;
}

}  // namespace

// Deferred, before RemoveExistingProducts and InstallFiles: where KTRX runs
// from a KTRX.SYS other than the package's, stops it, so that the package's
// file can replace it. One that cannot stop keeps its old image until the
// restart that AskRestartIfLoaded asks for; a newer file on disk, which
// Windows Installer keeps, is left running (InstallKtrx says so).
extern "C" __declspec(dllexport) UINT __stdcall StopKtrxForUpdate(MSIHANDLE install) {
    const ActionData data = ReadActionData(install);
    if (data.adminUser.empty()) return ERROR_SUCCESS;
    const std::string onDisk = FileSha256(data.driver);
    if (onDisk.empty() || onDisk == data.sha256) return ERROR_SUCCESS;
    if (CompareVersions(FileVersion(data.driver), data.version) > 0) return ERROR_SUCCESS;
    if (StopForUpdate(Reporter{LogLine, &install}) == StopResult::Stopped) NoteStoppedForUpdate();
    return ERROR_SUCCESS;
}

// Rollback of that stop: the driver it stopped runs again.
extern "C" __declspec(dllexport) UINT __stdcall RollbackStopKtrx(MSIHANDLE install) {
    if (TakeStoppedNote()) StartAgain(Reporter{LogLine, &install});
    return ERROR_SUCCESS;
}

// Deferred, after InstallFiles: installs the driver.
extern "C" __declspec(dllexport) UINT __stdcall InstallKtrx(MSIHANDLE install) {
    const ActionData data = ReadActionData(install);
    std::string arguments;
    switch (PlanInstall(data, true, &arguments)) {
    case InstallPlan::LeaveAsIs:
        Log(install,
            "started by a user who is not an administrator: the files are repaired, KTRX's "
            "configuration and state are left as they are");
        return ERROR_SUCCESS;
    case InstallPlan::BadTimeout:
        Log(install, "VIDEOTIMEOUT must be a decimal number, not \"" + data.videoTimeout + "\"");
        return ERROR_INSTALL_FAILURE;
    case InstallPlan::Run:
        break;
    }
    if (!DriverIsThePackages(install, data)) return ERROR_INSTALL_FAILURE;
    TakeStoppedNote();
    return RunForResult(install, data.exe, arguments);
}

// Rollback of the installation, scheduled only where KTRX did not exist
// before this transaction: removes the driver again.
extern "C" __declspec(dllexport) UINT __stdcall RollbackInstall(MSIHANDLE install) {
    const ActionData data = ReadActionData(install);
    if (ToolIsThere(install, data.exe)) RunForResult(install, data.exe, "uninstall");
    return ERROR_SUCCESS;
}

// Deferred, before RemoveFiles: removes the driver. One that is already
// gone leaves nothing to do.
extern "C" __declspec(dllexport) UINT __stdcall UninstallKtrx(MSIHANDLE install) {
    const ActionData data = ReadActionData(install);
    if (!ServiceExists()) {
        Log(install, "KTRX is not installed: nothing to remove");
        return ERROR_SUCCESS;
    }
    return RunForResult(install, data.exe, "uninstall");
}

// Rollback of the removal: installs the driver again, with the VideoTimeout
// it had.
extern "C" __declspec(dllexport) UINT __stdcall RollbackUninstall(MSIHANDLE install) {
    const ActionData data = ReadActionData(install);
    std::string arguments;
    if (ToolIsThere(install, data.exe) && PlanInstall(data, false, &arguments) == InstallPlan::Run)
        RunForResult(install, data.exe, arguments);
    return ERROR_SUCCESS;
}

// Immediate, after InstallFinalize: asks for the restart (msiexec ends with
// 3010) where KTRX could not stop for its update and runs its old image, or
// where, after a removal, a KTRX service still there is only marked for
// deletion, its driver still loaded.
extern "C" __declspec(dllexport) UINT __stdcall AskRestartIfLoaded(MSIHANDLE install) {
    if (RestartNoted()) {
        Log(install, "KTRX still runs its old image: the new KTRX.SYS runs when the system restarts");
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        return ERROR_SUCCESS;
    }
    if (Property(install, "REMOVE") != "ALL" || !ServiceExists()) return ERROR_SUCCESS;
    Log(install, "KTRX is still loaded: its removal completes when the system restarts");
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    return ERROR_SUCCESS;
}
