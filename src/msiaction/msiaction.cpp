// The custom actions of the Windows Installer packages. Each runs the
// installed DURUVUDE.EXE, so that a package installs, keeps and removes the
// Kestrix driver through the tool's own code, and copies every line the
// tool writes into the installer's log. The deferred actions get
// "EXE|VIDEOTIMEOUT|CURRENT" as their CustomActionData: the tool's path,
// the VIDEOTIMEOUT property as given, and the VideoTimeout in force as the
// registry search found it ("#N" for a DWORD, empty where there is none).
#include <windows.h>
// clang-format off
#include <msi.h>
#include <msiquery.h>
// clang-format on

#include <string>
#include <vector>

namespace {

constexpr char kServiceName[] = "KTRX";
// A window station of its own, which nobody sees: a box of the tool's would
// otherwise wait for a reader, and the installation with it.
constexpr char kUnseenDesktop[] = "DuruvudeSetup\\Default";

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

struct ActionData {
    std::string exe, videoTimeout, current;
};

ActionData ReadActionData(MSIHANDLE install) {
    const std::string data = Property(install, "CustomActionData");
    std::vector<std::string> fields(1);
    for (char c : data) {
        if (c == '|')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    fields.resize(3);
    return {fields[0], fields[1], fields[2]};
}

// A decimal number, optionally signed: all a VIDEOTIMEOUT may hold, so that
// nothing else reaches the tool's command line.
bool IsDecimal(const std::string& text) {
    size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (at == text.size()) return false;
    for (; at < text.size(); ++at)
        if (text[at] < '0' || text[at] > '9') return false;
    return true;
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

// Runs "EXE arguments" with its standard output and error into the log.
// Gives the tool's exit status, or nothing where it could not be started.
bool RunTool(MSIHANDLE install, const std::string& exe, const std::string& arguments, DWORD* status) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        Log(install, "cannot make a pipe for DURUVUDE.EXE: error " + std::to_string(GetLastError()));
        return false;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = const_cast<char*>(kUnseenDesktop);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    Log(install, "running " + commandLine);
    const BOOL started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        Log(install, "cannot start " + exe + ": error " + std::to_string(startError));
        return false;
    }
    std::string pending;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        LogLines(install, pending);
    }
    pending += '\n';
    LogLines(install, pending);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    Log(install, "DURUVUDE.EXE ended with " + std::to_string(static_cast<int>(*status)));
    return true;
}

// The tool's 0 is success; its -1, or a tool that could not be started, a
// failed installation.
UINT RunForResult(MSIHANDLE install, const std::string& exe, const std::string& arguments) {
    DWORD status = 0;
    return RunTool(install, exe, arguments, &status) && status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// "install", keeping the VideoTimeout in force unless one is given.
bool InstallArguments(MSIHANDLE install, const ActionData& data, std::string* arguments) {
    *arguments = "install";
    if (!data.videoTimeout.empty()) {
        if (!IsDecimal(data.videoTimeout)) {
            Log(install, "VIDEOTIMEOUT must be a decimal number, not \"" + data.videoTimeout + "\"");
            return false;
        }
        *arguments += " videotimeout " + data.videoTimeout;
    } else if (data.current.size() > 1 && data.current[0] == '#' && IsDecimal(data.current.substr(1))) {
        *arguments += " videotimeout " + data.current.substr(1);
    }
    return true;
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

// Deferred, after InstallFiles: installs the driver.
extern "C" __declspec(dllexport) UINT __stdcall InstallKtrx(MSIHANDLE install) {
    const ActionData data = ReadActionData(install);
    std::string arguments;
    if (!InstallArguments(install, data, &arguments)) return ERROR_INSTALL_FAILURE;
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
    if (ToolIsThere(install, data.exe) && InstallArguments(install, data, &arguments))
        RunForResult(install, data.exe, arguments);
    return ERROR_SUCCESS;
}

// Immediate, after InstallFinalize of a removal: a KTRX service still there
// is only marked for deletion, its driver still loaded, and the removal
// completes at the restart that this asks for (msiexec ends with 3010).
extern "C" __declspec(dllexport) UINT __stdcall AskRestartIfLoaded(MSIHANDLE install) {
    if (!ServiceExists()) return ERROR_SUCCESS;
    Log(install, "KTRX is still loaded: its removal completes when the system restarts");
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    return ERROR_SUCCESS;
}
