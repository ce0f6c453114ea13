// The argument scan, the usage box and the run sequence.
#include <cstdio>

#include "common/ascii.h"
#include "common/report.h"
#include "frontend/frontend.h"
#include "parameters/parameters.h"
#include "service/service.h"

namespace {

constexpr char kUsageTitle[] = "Tolvane Kestrix Driver Installer/Uninstaller";
constexpr char kNoticeTitle[] = "Tolvane Driver Installer/Uninstaller";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Keywords are matched without regard to ASCII letter case.
bool IsKeyword(const char* argument, const char* keyword) {
    for (; *argument && *keyword; ++argument, ++keyword)
        if (FoldCase(*argument) != *keyword) return false;
    return *argument == *keyword;
}

}  // namespace

bool ParseTimeout(const char* text, LONG& value) {
    while (IsSpace(*text)) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (!IsDigit(*text)) return false;
    // Unsigned arithmetic wraps modulo 2^32, as the stored DWORD does.
    DWORD number = 0;
    for (; IsDigit(*text); ++text) number = number * 10u + static_cast<DWORD>(*text - '0');
    if (negative) number = 0u - number;
    value = static_cast<LONG>(number);
    return true;
}

ScanResult ScanArguments(int argc, const char* const* argv, RunRequest& request) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (IsKeyword(argument, "videotimeout")) {
            LONG value = 0;
            if (i + 1 >= argc || !ParseTimeout(argv[i + 1], value)) return ScanResult::InvalidTimeout;
            CurrentVideoTimeout = value;
            request.setTimeout = true;
            ++i;
        } else if (IsKeyword(argument, "install")) {
            request.install = true;
        } else if (IsKeyword(argument, "uninstall")) {
            request.uninstall = true;
        } else {
            return ScanResult::Usage;
        }
    }
    return ScanResult::Ok;
}

void ShowUsage() {
    bool found = false;
    ReadVideoTimeout(found);
    char current[20] = "N/A";
    if (found) std::snprintf(current, sizeof current, "%ld", static_cast<long>(CurrentVideoTimeout));
    char text[260];
    std::snprintf(text, sizeof text,
                  "USAGE:\nDURUVUDE <option(s)>\nOptions are:\ninstall / uninstall\nvideotimeout <xxx>\n\n"
                  "Current Configuration:\nVideoTimeout %s\n",
                  current);
    ShowInformation(text, kUsageTitle);
}

void RestrictDllSearch() {
    // Looked up, not imported: systems without it still run the tool.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (!found) return;
    auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(found));
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int RunTool(int argc, const char* const* argv) {
    RestrictDllSearch();
    RunRequest request;
    switch (ScanArguments(argc, argv, request)) {
    case ScanResult::Usage:
        ShowUsage();
        return -1;
    case ScanResult::InvalidTimeout:
        ReportError("Invalid timeout value", 0);
        return -1;
    case ScanResult::Ok:
        break;
    }
    if (!request.install && !request.uninstall && !request.setTimeout) {
        ShowUsage();
        return -1;
    }
    if (!IsAdministrator()) {
        ReportError("Administrator privileges are required to install/configure the driver", 0);
        return -1;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        ReportError("Failed to open Service Control Manager", GetLastError());
        return -1;
    }
    // The lock serializes what changes something, and comes after the
    // service manager: a token that holds Administrators for deny only (an
    // administrator who has not elevated) cannot own an object owned by
    // Administrators (CreateMutexA fails with ERROR_INVALID_OWNER, 1307), so
    // such a caller hears only the service manager's refusal.
    HANDLE lock = nullptr;
    if (TakeInstallationLock(lock) == LockResult::TimedOut) {
        CloseServiceHandle(manager);
        return -1;
    }
    bool ok = request.install ? InstallDriver(manager) : request.uninstall ? RemoveDriver(manager) : ConfigureDriver();
    // Let the next run in, and let the service manager go, before the
    // notice waits for its reader.
    ReleaseInstallationLock(lock);
    CloseServiceHandle(manager);
    if (ok && !request.install && !request.uninstall)
        ShowInformation(
            "Driver configuration changes have been made.\nYou must now restart the driver or reboot the system\n",
            kNoticeTitle);
    return ok ? 0 : -1;
}
