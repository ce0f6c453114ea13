// The limit of the benchmark: the platform calls that one install /
// configure / uninstall cycle needs, made as three processes as DURUVUDE
// makes them, with no checks and no messages but the notice box. It is
// linked as DURUVUDE.EXE is, USER32 delay-loaded, so that only the run that
// shows the box loads it.
//
// limit.exe install | videotimeout | uninstall
#include <windows.h>

#include <cstring>

namespace {

const char kServiceKey[] = "System\\CurrentControlSet\\Services\\KTRX";
const char kSystemLog[] = "System\\CurrentControlSet\\Services\\EventLog\\System";
const char kMessageFiles[] = "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS";
const char kName[] = "KTRX";
char noClass[] = "";

void SetDword(HKEY key, const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void Install() {
    char image[360];
    UINT length = GetSystemDirectoryA(image, MAX_PATH);
    std::memcpy(image + length, "\\DRIVERS\\KTRX.SYS", 18);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    CloseServiceHandle(CreateServiceA(manager, kName, "Kestrix driver", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image, "Extended Base", nullptr,
                                      nullptr, nullptr, nullptr));
    HKEY service = nullptr, parameters = nullptr, log = nullptr, source = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &service);
    RegCreateKeyExA(service, "Parameters", 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &parameters,
                    nullptr);
    SetDword(parameters, "VideoTimeout", 300);
    RegCloseKey(parameters);
    RegCloseKey(service);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemLog, 0, KEY_ALL_ACCESS, &log);
    RegCreateKeyExA(log, kName, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &source, nullptr);
    RegSetValueExA(source, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(kMessageFiles),
                   sizeof kMessageFiles);
    SetDword(source, "TypesSupported", 7);
    RegCloseKey(source);
    BYTE sources[4096 + 8];
    DWORD size = 4096;
    DWORD type = 0;
    RegQueryValueExA(log, "Sources", nullptr, &type, sources, &size);
    DWORD at = size > 1 ? size - 1 : 0;
    std::memcpy(sources + at, "KTRX\0", 6);
    RegSetValueExA(log, "Sources", 0, type, sources, at + 6);
    RegCloseKey(log);
    SC_HANDLE driver = OpenServiceA(manager, kName, GENERIC_EXECUTE);
    StartServiceA(driver, 0, nullptr);
    CloseServiceHandle(driver);
    CloseServiceHandle(manager);
}

void Configure() {
    HKEY parameters = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\KTRX\\Parameters", 0, KEY_ALL_ACCESS,
                  &parameters);
    SetDword(parameters, "VideoTimeout", 500);
    RegCloseKey(parameters);
    HMODULE user32 = LoadLibraryA("USER32.DLL");
    MessageBoxA(nullptr,
                "Driver configuration changes have been made.\nYou must now restart the driver or reboot the system\n",
                "Tolvane Driver Installer/Uninstaller", MB_OK | MB_ICONINFORMATION);
    FreeLibrary(user32);
}

void Uninstall() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE driver = OpenServiceA(manager, kName, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    ControlService(driver, SERVICE_CONTROL_STOP, &status);
    HKEY log = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemLog, 0, KEY_ALL_ACCESS, &log);
    RegDeleteKeyA(log, kName);
    BYTE sources[4096 + 8];
    DWORD size = 4096;
    DWORD type = 0;
    RegQueryValueExA(log, "Sources", nullptr, &type, sources, &size);
    // KTRX was appended last: it ends the list.
    if (size >= 6) size -= 5;
    sources[size - 1] = 0;
    RegSetValueExA(log, "Sources", 0, type, sources, size);
    RegCloseKey(log);
    DeleteService(driver);
    CloseServiceHandle(driver);
    CloseServiceHandle(manager);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (std::strcmp(argv[1], "install") == 0) Install();
    if (std::strcmp(argv[1], "videotimeout") == 0) Configure();
    if (std::strcmp(argv[1], "uninstall") == 0) Uninstall();
    return 0;
}
