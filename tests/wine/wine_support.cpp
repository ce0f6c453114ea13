#include "wine_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace bed {

std::string ReadWholeFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string PathFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    std::string path = value ? value : "";
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool ExeIsX86() {
    DWORD type = 0xdeadbeef;
    EXPECT_TRUE(GetBinaryTypeA(PathFromEnvironment("DURUVUDE_EXE").c_str(), &type)) << GetLastError();
    return type == SCS_32BIT_BINARY;
}

bool SkipsThirtyTwoBit(const std::string& what) {
    const char* cpu32 = std::getenv("DURUVUDE_CPU32");
    if (!cpu32 || std::string(cpu32) != "no") return false;
    const char* why = std::getenv("DURUVUDE_CPU32_WHY");
    std::printf("skipped: %s: %s\n", what.c_str(), why ? why : "");
    std::fflush(stdout);
    return true;
}

RunOutcome RunDuruvude(const std::vector<std::string>& args) {
    std::string commandLine = QuoteArgument(PathFromEnvironment("DURUVUDE_EXE"));
    for (const auto& a : args) commandLine += " " + QuoteArgument(a);
    RunOutcome outcome = RunAnsweringBoxes(commandLine, 60000);
    EXPECT_TRUE(outcome.started) << commandLine << ": error " << outcome.startError;
    EXPECT_FALSE(outcome.timedOut) << commandLine;
    return outcome;
}

namespace {

std::string DriverTarget() {
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\DRIVERS\\KTRX.SYS";
}

}  // namespace

void PlaceDriver(const char* variant) {
    std::string source = PathFromEnvironment("DURUVUDE_FIXTURES") + "\\" + variant;
    ASSERT_TRUE(CopyFileA(source.c_str(), DriverTarget().c_str(), FALSE)) << source << " " << GetLastError();
}

void RemoveDriverFile() {
    DeleteFileA(DriverTarget().c_str());
    DeleteFileA((DriverTarget() + ".update").c_str());
}

void RemoveKtrx() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    if (SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    // The service goes once the driver has stopped and the last handle closed.
    SC_HANDLE service = nullptr;
    for (int i = 0; i < 100; ++i) {
        service = OpenServiceA(manager, "KTRX", SERVICE_QUERY_STATUS);
        if (!service) break;
        CloseServiceHandle(service);
        Sleep(50);
    }
    EXPECT_EQ(service, nullptr) << "the KTRX service did not go away";
    CloseServiceHandle(manager);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParametersKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kServiceKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSourceKey);
}

std::optional<RegData> ReadValue(const char* key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return std::nullopt;
    RegData data;
    DWORD size = 0;
    RegQueryValueExA(handle, name, nullptr, nullptr, nullptr, &size);
    data.bytes.resize(size + 1);
    size = static_cast<DWORD>(data.bytes.size());
    LONG rc = RegQueryValueExA(handle, name, nullptr, &data.type, data.bytes.data(), &size);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    data.bytes.resize(size);
    return data;
}

void WriteValue(const char* key, const char* name, const RegData& data) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(handle, name, 0, data.type, data.bytes.data(), static_cast<DWORD>(data.bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

namespace {
constexpr char kEnvironmentKey[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
}

NativeProcessor::NativeProcessor(const char* name) : before(ReadValue(kEnvironmentKey, "PROCESSOR_ARCHITECTURE")) {
    WriteValue(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", {REG_SZ, std::vector<BYTE>(name, name + lstrlenA(name) + 1)});
}

NativeProcessor::~NativeProcessor() {
    if (before) WriteValue(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", *before);
}

namespace {

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + lstrlenA(ascii)); }

}  // namespace

std::optional<RegData> ReadStored(const char* key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return std::nullopt;
    RegData data;
    DWORD size = 0;
    RegQueryValueExW(handle, Wide(name).c_str(), nullptr, nullptr, nullptr, &size);
    data.bytes.resize(size + 1);
    size = static_cast<DWORD>(data.bytes.size());
    LONG rc = RegQueryValueExW(handle, Wide(name).c_str(), nullptr, &data.type, data.bytes.data(), &size);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    data.bytes.resize(size);
    return data;
}

void WriteStored(const char* key, const char* name, const RegData& data) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(handle, Wide(name).c_str(), 0, data.type, data.bytes.data(),
                             static_cast<DWORD>(data.bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

void PrintTo(const RegData& data, std::ostream* out) {
    *out << "type " << data.type << ", " << data.bytes.size() << " bytes:";
    char hex[4];
    for (BYTE b : data.bytes) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        *out << hex;
    }
}

RegData SourcesInSeveralScripts() {
    static const char16_t list[] = u"Alpha\0日本語ソース\0Überwachung\0Служба журнала\0𝒜𝓁𝓅𝒽𝒶\0EventLog\0";
    const std::u16string text(list, list + sizeof list / sizeof list[0]);  // the literal's NUL ends the list
    RegData data{REG_MULTI_SZ, {}};
    for (char16_t unit : text) {
        data.bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        data.bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return data;
}

bool KeyExists(const char* key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

std::vector<std::string> SourcesEntries() {
    std::vector<std::string> entries;
    auto value = ReadValue(kSystemLog, "Sources");
    if (!value) return entries;
    std::string entry;
    for (BYTE b : value->bytes) {
        if (b == 0) {
            if (!entry.empty()) entries.push_back(entry);
            entry.clear();
        } else {
            entry += static_cast<char>(b);
        }
    }
    return entries;
}

bool DeviceOpens(const char* name) {
    HANDLE device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

namespace {
constexpr char kRestartMarker[] = "C:\\duruvude-restart";
}

bool AfterRestart() {
    if (!DeleteFileA(kRestartMarker)) return false;
    // The service manager starts the automatic drivers as it comes up.
    for (int wait = 0; wait < 50 && ServiceState() != static_cast<DWORD>(SERVICE_RUNNING); ++wait) Sleep(100);
    return true;
}

void RestartAndRunAgain() {
    HANDLE marker = CreateFileA(kRestartMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(marker, INVALID_HANDLE_VALUE);
    CloseHandle(marker);
}

std::optional<DWORD> ServiceState() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_QUERY_STATUS);
    std::optional<DWORD> state;
    if (service) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) state = status.dwCurrentState;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

std::optional<ServiceConfig> QueryConfig() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "KTRX", SERVICE_QUERY_CONFIG);
    std::optional<ServiceConfig> result;
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    DWORD needed = 0;
    auto text = [](const char* value) { return std::string(value ? value : ""); };
    if (service && QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed))
        result = ServiceConfig{config->dwServiceType,          config->dwStartType,
                               config->dwErrorControl,         text(config->lpBinaryPathName),
                               text(config->lpLoadOrderGroup), text(config->lpDisplayName)};
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

std::string ErrorText(const std::string& message, DWORD code) {
    std::string text = message + "; ";
    if (code) {
        char system[260] = {};
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, system,
                           sizeof system, nullptr))
            text += system;
    }
    return text;
}

namespace {

SRWLOCK ownBoxesLock = SRWLOCK_INIT;
std::vector<BoxRecord> ownBoxes;

DWORD WINAPI AnswerOwnBoxes(LPVOID) {
    for (;;) {
        if (HWND box = FindBoxOf(GetCurrentProcessId())) {
            BoxRecord record = ReadBox(box);
            AcquireSRWLockExclusive(&ownBoxesLock);
            ownBoxes.push_back(record);
            ReleaseSRWLockExclusive(&ownBoxesLock);
            DismissBox(box);
        }
        Sleep(10);
    }
}

void StartBoxWatcher() {
    static const HANDLE watcher = CreateThread(nullptr, 0, AnswerOwnBoxes, nullptr, 0, nullptr);
    ASSERT_NE(watcher, nullptr);
}

// A crashed earlier run may have left its entry in "Sources" (UTF-16 units).
void DropLeftOverSourcesEntry() {
    auto value = ReadStored(kSystemLog, "Sources");
    if (!value) return;
    RegData kept{value->type, {}};
    bool dropped = false;
    size_t start = 0;
    for (size_t i = 0; i + 1 < value->bytes.size(); i += 2) {
        if (value->bytes[i] != 0 || value->bytes[i + 1] != 0) continue;
        std::string entry;
        for (size_t k = start; k < i; k += 2) entry += value->bytes[k + 1] ? '?' : static_cast<char>(value->bytes[k]);
        if (lstrcmpiA(entry.c_str(), "KTRX") == 0)
            dropped = true;
        else
            kept.bytes.insert(kept.bytes.end(), value->bytes.begin() + static_cast<std::ptrdiff_t>(start),
                              value->bytes.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        start = i + 2;
    }
    if (dropped) WriteStored(kSystemLog, "Sources", kept);
}

}  // namespace

std::vector<BoxRecord> TakeOwnBoxes() {
    AcquireSRWLockExclusive(&ownBoxesLock);
    std::vector<BoxRecord> taken = std::exchange(ownBoxes, {});
    ReleaseSRWLockExclusive(&ownBoxesLock);
    return taken;
}

void WineTest::SetUp() {
    StartBoxWatcher();
    TakeOwnBoxes();
    RemoveKtrx();
    DropLeftOverSourcesEntry();
    sourcesBefore = ReadStored(kSystemLog, "Sources");
    ASSERT_TRUE(sourcesBefore.has_value());
    PlaceDriver();
}

void WineTest::TearDown() {
    for (const auto& box : TakeOwnBoxes()) ADD_FAILURE() << "unexpected box [" << box.title << "] " << box.text;
    RemoveKtrx();
    RemoveDriverFile();
    if (ReadStored(kSystemLog, "Sources") != sourcesBefore) WriteStored(kSystemLog, "Sources", *sourcesBefore);
}

}  // namespace bed
