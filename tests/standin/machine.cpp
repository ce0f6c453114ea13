// The stand-in machine: its state, its default layout, fault injection and
// the records that tests read back.
#include <stdio_ext.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "internal.h"

namespace standin {

namespace {

int FoldChar(char c) { return std::tolower(static_cast<unsigned char>(c)); }

}  // namespace

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return FoldChar(x) < FoldChar(y); });
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldChar(x) == FoldChar(y); });
}

Machine& M() {
    static Machine machine;
    return machine;
}

namespace {

// A killed process makes no further call of any kind.
void EndHereIfKilled() {
    Machine& m = M();
    if (m.killAt == 0 || static_cast<long>(m.callLog.size()) + 1 != m.killAt) return;
    m.killAt = 0;
    __fpurge(stdout);
    __fpurge(stderr);
    throw Killed{};
}

}  // namespace

DWORD Inject(const char* op) {
    EndHereIfKilled();
    Machine& m = M();
    // Hooks first: what they change is what the call then sees. The
    // actions run after the walk, free to lay out hooks of their own.
    std::vector<std::function<void()>> due;
    for (auto it = m.hooks.begin(); it != m.hooks.end();) {
        if (it->op == op && (it->every || --it->remaining == 0)) {
            due.push_back(it->action);
            if (!it->every) {
                it = m.hooks.erase(it);
                continue;
            }
        }
        ++it;
    }
    for (const auto& action : due) action();
    m.callLog.emplace_back(op);
    m.failableLog.emplace_back(op);
    DWORD code = 0;
    for (auto it = m.faults.begin(); it != m.faults.end();) {
        if (it->op.empty() || it->op == op) {
            if (--it->remaining == 0) {
                code = it->code;
                m.injectedAt.push_back(m.callLog.size() - 1);
                it = m.faults.erase(it);
                continue;
            }
        }
        ++it;
    }
    return code;
}

void Log(const char* op) {
    EndHereIfKilled();
    M().callLog.emplace_back(op);
}

void KillAtCall(long n) { M().killAt = n; }

void EndProcess() {
    Machine& m = M();
    m.killAt = 0;
    // Each release takes its handle out of the set: walk a copy.
    auto releaseAll = [](const auto& open, auto release) {
        for (auto handle : std::vector(open.begin(), open.end())) release(handle);
    };
    releaseAll(m.openKeys, RegCloseKey);
    releaseAll(m.openServices, CloseServiceHandle);
    releaseAll(m.openKernel, CloseHandle);
    releaseAll(m.sids, FreeSid);
    releaseAll(m.locals, LocalFree);
    m.modules = 0;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::vector<BYTE> SidFromString(const std::string& text) {
    // S-1-<authority>-<sub>-<sub>...
    std::vector<unsigned long long> numbers;
    std::stringstream in(text.substr(2));
    std::string item;
    while (std::getline(in, item, '-')) numbers.push_back(std::strtoull(item.c_str(), nullptr, 10));
    std::vector<BYTE> sid(8 + 4 * (numbers.size() - 2), 0);
    sid[0] = static_cast<BYTE>(numbers[0]);
    sid[1] = static_cast<BYTE>(numbers.size() - 2);
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(numbers[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < numbers.size(); ++i) {
        auto v = static_cast<DWORD>(numbers[i]);
        for (int b = 0; b < 4; ++b) sid[8 + 4 * (i - 2) + b] = static_cast<BYTE>(v >> (8 * b));
    }
    return sid;
}

size_t SidLength(const BYTE* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

namespace {

// Windows-1252's characters for the bytes 0x80 to 0x9F; the five it leaves
// undefined stand for themselves, as Windows maps them.
constexpr char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> Utf16FromAnsi(const std::vector<BYTE>& ansi) {
    std::u16string units;
    for (BYTE b : ansi) units += b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
    return BytesOf(units);
}

std::vector<BYTE> AnsiFromUtf16(const std::vector<BYTE>& utf16) {
    std::vector<BYTE> ansi;
    // Unit by unit, as Wine converts: each half of a surrogate pair is a '?'.
    for (char16_t u : UnitsOf(utf16)) {
        BYTE b = '?';
        if (u < 0x80 || (u >= 0xA0 && u < 0x100)) b = static_cast<BYTE>(u);
        for (int k = 0; k < 32; ++k)
            if (kCp1252High[k] == u) b = static_cast<BYTE>(0x80 + k);
        ansi.push_back(b);
    }
    return ansi;
}

void ResetMachine() {
    Machine& m = M();
    for (PSID sid : m.sids) delete[] static_cast<BYTE*>(sid);
    for (HLOCAL mem : m.locals) std::free(mem);
    for (HKEY key : m.openKeys) delete key;
    for (SC_HANDLE h : m.openServices) delete h;
    for (HANDLE h : m.openKernel) delete static_cast<KernelObject*>(h);
    m = Machine{};
    m.hklm = std::make_shared<KeyNode>();
    m.systemDirectory = "C:\\WINDOWS\\system32";
    m.files.insert("C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS");
    m.files.insert("C:\\WINDOWS\\system32\\IOLOGMSG.DLL");
    MakeKey("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    PutMultiSz("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", "Sources",
               {"Application Popup", "EventLog", "Service Control Manager", "Tcpip", "System"});
    PutValue("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\EventLog", "EventMessageFile", REG_EXPAND_SZ, {});
    PutDword("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", "MaxSize", 0x80000);
    m.processGroups = {{"S-1-1-0"}, {"S-1-5-32-544"}, {"S-1-5-32-545"}, {"S-1-5-11"}};
}

void SetSystemText(DWORD code, const std::string& text) { M().systemTexts[code] = text; }
void SetCodePage(UINT codePage) { M().codePage = codePage; }
void SetUser32Loads(bool loads) { M().user32Loads = loads; }
void SetStandardErrorConsole(bool console) { M().errorIsConsole = console; }
const std::u16string& ConsoleText() { return M().console; }

void PutFile(const std::string& path) { M().files.insert(path); }
void RemoveFile(const std::string& path) { M().files.erase(path); }
void SetSystemDirectory(const std::string& dir) { M().systemDirectory = dir; }

void SetDevice(const std::string& name, DeviceState state) {
    if (state == DeviceState::Absent)
        M().devices.erase(name);
    else
        M().devices[name] = state;
}

DeviceState GetDevice(const std::string& name) {
    auto it = M().devices.find(name);
    return it == M().devices.end() ? DeviceState::Absent : it->second;
}

void SetProcessTokenGroups(const std::vector<TokenGroup>& groups) { M().processGroups = groups; }

void SetThreadToken(bool present, const std::vector<TokenGroup>& groups) {
    M().threadToken = present;
    M().threadGroups = groups;
}

void FailCall(const std::string& op, DWORD code, int nth) { M().faults.push_back({op, nth, code}); }
void FailNthCall(long k, DWORD code) { M().faults.push_back({"", k, code}); }
void ClearFaults() { M().faults.clear(); }

void BeforeCall(const std::string& op, std::function<void()> action, int nth) {
    M().hooks.push_back({op, nth, nth == 0, std::move(action)});
}

size_t LargestLocalAlloc() { return M().largestLocal; }
int BoxesAfterPendingOutput() { return M().boxesAfterPendingOutput; }
long FailableCallCount() { return static_cast<long>(M().failableLog.size()); }
const std::vector<std::string>& CallLog() { return M().callLog; }
const std::vector<std::string>& FailableCalls() { return M().failableLog; }

const std::vector<size_t>& InjectedCalls() { return M().injectedAt; }

int CallsTo(const std::string& op) {
    const auto& log = M().callLog;
    return static_cast<int>(std::count(log.begin(), log.end(), op));
}

const std::vector<Box>& Boxes() { return M().boxes; }
const std::vector<DWORD>& Sleeps() { return M().sleeps; }
const std::vector<DeviceOpen>& DeviceOpens() { return M().deviceOpens; }
const std::vector<DWORD>& Waits() { return M().waits; }

void SetWindowStation(bool visible) { M().stationVisible = visible; }
void SetDllDirectoriesSupported(bool supported) { M().dllDirectoriesSupported = supported; }
std::optional<DWORD> DefaultDllDirectories() { return M().defaultDllDirectories; }

void SetSessions(DWORD processSession, DWORD consoleSession) {
    M().processSession = processSession;
    M().consoleSession = consoleSession;
}

void PutMutex(const std::string& name, const MutexSetup& setup) {
    NamedMutex& mutex = M().mutexes[name];
    mutex.setup = setup;
    mutex.handles = 1;  // the other run's
}

const std::vector<std::pair<std::string, std::string>>& MutexesCreated() { return M().mutexesCreated; }

std::optional<MutexRecord> GetMutex(const std::string& name) {
    auto it = M().mutexes.find(name);
    if (it == M().mutexes.end()) return std::nullopt;
    return MutexRecord{it->second.setup.owner, it->second.securityDescriptor, it->second.heldByCaller,
                       it->second.handles};
}

bool CallerIsAdministrator() {
    const Machine& m = M();
    const auto& groups = m.threadToken ? m.threadGroups : m.processGroups;
    for (const auto& g : groups)
        if (g.sid == "S-1-5-32-544" && (g.attributes & SE_GROUP_ENABLED) &&
            !(g.attributes & SE_GROUP_USE_FOR_DENY_ONLY))
            return true;
    return false;
}

OpenCounts Open() {
    const Machine& m = M();
    OpenCounts counts;
    counts.keys = static_cast<int>(m.openKeys.size());
    counts.services = static_cast<int>(m.openServices.size());
    counts.kernelHandles = static_cast<int>(m.openKernel.size());
    for (HANDLE h : m.openKernel)
        if (static_cast<KernelObject*>(h)->token) ++counts.tokens;
    counts.sids = static_cast<int>(m.sids.size());
    counts.localBuffers = static_cast<int>(m.locals.size());
    counts.modules = m.modules;
    return counts;
}

}  // namespace standin
