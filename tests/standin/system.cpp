// The stand-in's security, base-services and user-interface functions:
// tokens and SIDs, devices, the system directory, system texts, local
// memory, sleeps and message boxes.
#include <stdio_ext.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "internal.h"

namespace {

thread_local DWORD lastError = 0;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

// Windows' English texts for the codes the tool can meet.
const std::map<DWORD, const char*>& SystemTexts() {
    static const std::map<DWORD, const char*> texts = {
        {0, "The operation completed successfully.\r\n"},
        {2, "The system cannot find the file specified.\r\n"},
        {3, "The system cannot find the path specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {8, "Not enough memory resources are available to process this command.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {193, "%1 is not a valid Win32 application.\r\n"},
        {183, "Cannot create a file when that file already exists.\r\n"},
        {234, "More data is available.\r\n"},
        {258, "The wait operation timed out.\r\n"},
        {1008, "An attempt was made to reference a token that does not exist.\r\n"},
        {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
        {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
        {1056, "An instance of the service is already running.\r\n"},
        {1060, "The specified service does not exist as an installed service.\r\n"},
        {1061, "The service cannot accept control messages at this time.\r\n"},
        {1062, "The service has not been started.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
        {1073, "The specified service already exists.\r\n"},
        {1114, "A dynamic link library (DLL) initialization routine failed.\r\n"},
        {577,
         "Windows cannot verify the digital signature for this file. A recent hardware or software change might "
         "have installed a file that is signed incorrectly or damaged, or that might be malicious software from an "
         "unknown source.\r\n"},
    };
    return texts;
}

BOOL Fail(DWORD code) {
    lastError = code;
    return FALSE;
}

HANDLE NewKernelHandle(bool token, bool threadToken, DWORD access) {
    auto* object = new standin::KernelObject{token, threadToken, access, {}};
    standin::M().openKernel.insert(object);
    return object;
}

}  // namespace

using namespace standin;

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }
HANDLE GetCurrentThread() { return kCurrentThread; }
HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL, PHANDLE TokenHandle) {
    if (DWORD fault = Inject("OpenThreadToken")) return Fail(fault);
    if (ThreadHandle != kCurrentThread) return Fail(ERROR_INVALID_HANDLE);
    if (!M().threadToken) return Fail(ERROR_NO_TOKEN);
    *TokenHandle = NewKernelHandle(true, true, DesiredAccess);
    return TRUE;
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (DWORD fault = Inject("OpenProcessToken")) return Fail(fault);
    if (ProcessHandle != kCurrentProcess) return Fail(ERROR_INVALID_HANDLE);
    *TokenHandle = NewKernelHandle(true, false, DesiredAccess);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, LPVOID TokenInformation,
                         DWORD TokenInformationLength, PDWORD ReturnLength) {
    if (DWORD fault = Inject("GetTokenInformation")) return Fail(fault);
    if (!M().openKernel.count(TokenHandle) || !static_cast<KernelObject*>(TokenHandle)->token)
        return Fail(ERROR_INVALID_HANDLE);
    if (!(static_cast<KernelObject*>(TokenHandle)->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
    if (TokenInformationClass != TokenGroups) return Fail(ERROR_INVALID_PARAMETER);
    const auto& groups = static_cast<KernelObject*>(TokenHandle)->threadToken ? M().threadGroups : M().processGroups;
    // Laid out as Windows does: the record, its array, then the SIDs it points to.
    std::vector<std::vector<BYTE>> sids;
    size_t needed = offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES);
    size_t sidStart = needed;
    for (const auto& g : groups) {
        sids.push_back(SidFromString(g.sid));
        needed += sids.back().size();
    }
    *ReturnLength = static_cast<DWORD>(needed);
    if (!TokenInformation || TokenInformationLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* bytes = static_cast<BYTE*>(TokenInformation);
    auto* record = static_cast<TOKEN_GROUPS*>(TokenInformation);
    record->GroupCount = static_cast<DWORD>(groups.size());
    size_t at = sidStart;
    for (size_t i = 0; i < groups.size(); ++i) {
        std::memcpy(bytes + at, sids[i].data(), sids[i].size());
        SID_AND_ATTRIBUTES entry{bytes + at, groups[i].attributes};
        std::memcpy(bytes + offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES), &entry, sizeof entry);
        at += sids[i].size();
    }
    return TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2, DWORD nSubAuthority3,
                              DWORD nSubAuthority4, DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                              PSID* pSid) {
    if (DWORD fault = Inject("AllocateAndInitializeSid")) return Fail(fault);
    if (nSubAuthorityCount > 8) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                           nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    auto* sid = new BYTE[8 + sizeof(DWORD) * nSubAuthorityCount];
    sid[0] = 1;
    sid[1] = nSubAuthorityCount;
    std::memcpy(sid + 2, pIdentifierAuthority->Value, 6);
    std::memcpy(sid + 8, subs, sizeof(DWORD) * nSubAuthorityCount);
    M().sids.insert(sid);
    *pSid = sid;
    return TRUE;
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    Log("EqualSid");
    const auto* a = static_cast<const BYTE*>(pSid1);
    const auto* b = static_cast<const BYTE*>(pSid2);
    return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

PSID FreeSid(PSID pSid) {
    Log("FreeSid");
    if (M().sids.erase(pSid)) delete[] static_cast<BYTE*>(pSid);
    return nullptr;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    M().deviceOpens.push_back(
        {lpFileName ? lpFileName : "", dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes});
    if (DWORD fault = Inject("CreateFileA")) {
        lastError = fault;
        return INVALID_HANDLE_VALUE;
    }
    std::string name = lpFileName;
    const std::string prefix = "\\\\.\\";
    if (name.compare(0, prefix.size(), prefix) != 0) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    switch (GetDevice(name.substr(prefix.size()))) {
    case DeviceState::Opens:
        return NewKernelHandle(false, false, dwDesiredAccess);
    case DeviceState::Refuses:
        lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    case DeviceState::Absent:
        break;
    }
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE hObject) {
    Log("CloseHandle");
    if (M().openKernel.erase(hObject) == 0) return Fail(ERROR_INVALID_HANDLE);
    auto* object = static_cast<KernelObject*>(hObject);
    auto it = M().mutexes.find(object->mutex);
    if (!object->mutex.empty() && it != M().mutexes.end()) {
        NamedMutex& mutex = it->second;
        // Closing the last handle while holding the mutex is how a run that
        // ends without releasing it leaves it: abandoned.
        if (mutex.heldByCaller) {
            mutex.heldByCaller = false;
            mutex.heldTimes = 0;
            mutex.setup.abandoned = true;
        }
        if (--mutex.handles == 0) M().mutexes.erase(it);
    }
    delete object;
    return TRUE;
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (DWORD fault = Inject("GetSystemDirectoryA")) {
        lastError = fault;
        return 0;
    }
    const std::string& dir = M().systemDirectory;
    // Too small a buffer: the answer is the size needed, terminator included.
    if (uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize, va_list*) {
    if (DWORD fault = Inject("FormatMessageA")) {
        lastError = fault;
        return 0;
    }
    // A text a test set comes before Windows' English one.
    std::optional<std::string> found;
    if (auto set = M().systemTexts.find(dwMessageId); set != M().systemTexts.end())
        found = set->second;
    else if (auto it = SystemTexts().find(dwMessageId); it != SystemTexts().end())
        found = it->second;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !found) {
        lastError = 317;  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    const std::string& text = *found;
    // An insert with no arguments: Windows leaves this undefined; answer as Wine does.
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && text.find('%') != std::string::npos) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // lpBuffer receives a local buffer of at least nSize bytes.
        size_t size = std::max<size_t>(text.size() + 1, nSize);
        void* buffer = std::malloc(size);
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        M().locals.insert(buffer);
        *reinterpret_cast<char**>(lpBuffer) = static_cast<char*>(buffer);
        return static_cast<DWORD>(text.size());
    }
    if (nSize < text.size() + 1) {
        // Windows does not promise to leave a buffer that was too small
        // untouched: leave it holding the start of the text, unended.
        std::memcpy(lpBuffer, text.data(), nSize);
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

void Sleep(DWORD dwMilliseconds) {
    Log("Sleep");
    M().sleeps.push_back(dwMilliseconds);
}

HLOCAL LocalAlloc(UINT, SIZE_T uBytes) {
    if (DWORD fault = Inject("LocalAlloc")) {
        lastError = fault;
        return nullptr;
    }
    HLOCAL mem = std::malloc(uBytes ? uBytes : 1);
    M().locals.insert(mem);
    M().largestLocal = std::max(M().largestLocal, static_cast<size_t>(uBytes));
    return mem;
}

HLOCAL LocalFree(HLOCAL hMem) {
    Log("LocalFree");
    if (!hMem) return nullptr;
    if (M().locals.erase(hMem) == 0) {
        lastError = ERROR_INVALID_HANDLE;
        return hMem;
    }
    std::free(hMem);
    return nullptr;
}

UINT GetACP() {
    Log("GetACP");
    return M().codePage;
}

BOOL IsDBCSLeadByte(BYTE TestChar) {
    Log("IsDBCSLeadByte");
    if (M().codePage != 932) return FALSE;
    return (TestChar >= 0x81 && TestChar <= 0x9F) || (TestChar >= 0xE0 && TestChar <= 0xFC);
}

int MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte, WCHAR* lpWideCharStr,
                        int cchWideChar) {
    Log("MultiByteToWideChar");
    const UINT page = CodePage == CP_ACP ? M().codePage : CodePage;
    // 1252 as the registry's A functions convert it; 1251's letters and
    // UTF-8's two-byte sequences by hand.
    std::u16string units;
    if (page == 1252) units = UnitsOf(Utf16FromAnsi(std::vector<BYTE>(lpMultiByteStr, lpMultiByteStr + cbMultiByte)));
    for (int i = 0; page != 1252 && i < cbMultiByte; ++i) {
        auto byte = static_cast<BYTE>(lpMultiByteStr[i]);
        if (byte < 0x80) {
            units += static_cast<char16_t>(byte);
        } else if (page == 1251 && byte >= 0xC0) {
            units += static_cast<char16_t>(0x0410 + byte - 0xC0);  // А..я
        } else if (page == CP_UTF8 && byte >= 0xC2 && byte < 0xE0 && i + 1 < cbMultiByte) {
            units += static_cast<char16_t>(((byte & 0x1F) << 6) | (static_cast<BYTE>(lpMultiByteStr[++i]) & 0x3F));
        } else {
            units += u'?';  // beyond what the stand-in converts
        }
    }
    if (static_cast<int>(units.size()) > cchWideChar) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(lpWideCharStr, units.data(), units.size() * sizeof(char16_t));
    return static_cast<int>(units.size());
}

DWORD GetCurrentProcessId() {
    Log("GetCurrentProcessId");
    return 4242;
}

namespace {

// A box (or the line on standard error that stands for one, which the tool
// decides on first of all with this process's session) must come after
// every progress line before it: output still in stdout's buffer would
// reach the console after the box.
void NoteOutputPending() {
    if (__fpending(stdout) != 0) ++M().boxesAfterPendingOutput;
}

}  // namespace

BOOL ProcessIdToSessionId(DWORD, DWORD* pSessionId) {
    NoteOutputPending();
    if (DWORD fault = Inject("ProcessIdToSessionId")) return Fail(fault);
    *pSessionId = M().processSession;
    return TRUE;
}

DWORD WTSGetActiveConsoleSessionId() {
    Log("WTSGetActiveConsoleSessionId");
    return M().consoleSession;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
    if (DWORD fault = Inject("ConvertStringSecurityDescriptorToSecurityDescriptorA")) return Fail(fault);
    if (!StringSecurityDescriptor || StringSDRevision != SDDL_REVISION_1) return Fail(ERROR_INVALID_PARAMETER);
    // The stand-in's descriptor is its SDDL text, in local memory.
    size_t size = std::strlen(StringSecurityDescriptor) + 1;
    void* copy = std::malloc(size);
    std::memcpy(copy, StringSecurityDescriptor, size);
    M().locals.insert(copy);
    *SecurityDescriptor = copy;
    if (SecurityDescriptorSize) *SecurityDescriptorSize = static_cast<ULONG>(size);
    return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    if (DWORD fault = Inject("CreateMutexA")) {
        lastError = fault;
        return nullptr;
    }
    std::string name = lpName ? lpName : "";
    auto it = M().mutexes.find(name);
    if (it != M().mutexes.end()) {
        // The tool's lock admits only Administrators and LocalSystem, whose
        // tokens hold Administrators enabled: not a filtered token.
        const std::string& owner = it->second.setup.owner;
        bool adminsOnly = owner == "S-1-5-32-544" || owner == "S-1-5-18";
        if (it->second.setup.refusesCaller || (adminsOnly && !CallerIsAdministrator())) {
            lastError = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        ++it->second.handles;
        HANDLE handle = NewKernelHandle(false, false, 0);
        static_cast<KernelObject*>(handle)->mutex = name;
        lastError = ERROR_ALREADY_EXISTS;
        return handle;
    }
    NamedMutex mutex;
    void* descriptor = lpMutexAttributes ? lpMutexAttributes->lpSecurityDescriptor : nullptr;
    if (descriptor && !M().locals.count(descriptor)) {
        lastError = 1338;  // ERROR_INVALID_SECURITY_DESCR: freed, or never made
        return nullptr;
    }
    mutex.securityDescriptor = descriptor ? static_cast<const char*>(descriptor) : "";
    // Without an owner in the descriptor, the creator's own user owns it.
    const std::string& sddl = mutex.securityDescriptor;
    mutex.setup.owner = sddl.rfind("O:BA", 0) == 0   ? "S-1-5-32-544"
                        : sddl.rfind("O:SY", 0) == 0 ? "S-1-5-18"
                                                     : "S-1-5-21-1004-1005-1006-1001";
    // An owner must be a group the token may assign as owner: Administrators
    // for deny only (a token that User Account Control filtered) is not.
    if (mutex.setup.owner == "S-1-5-32-544" && !CallerIsAdministrator()) {
        lastError = ERROR_INVALID_OWNER;
        return nullptr;
    }
    mutex.heldByCaller = bInitialOwner != FALSE;
    mutex.heldTimes = mutex.heldByCaller ? 1 : 0;
    mutex.handles = 1;
    M().mutexes[name] = mutex;
    M().mutexesCreated.emplace_back(name, mutex.securityDescriptor);
    HANDLE handle = NewKernelHandle(false, false, 0);
    static_cast<KernelObject*>(handle)->mutex = name;
    lastError = ERROR_SUCCESS;
    return handle;
}

namespace {

NamedMutex* MutexOf(HANDLE handle) {
    if (!M().openKernel.count(handle)) return nullptr;
    auto it = M().mutexes.find(static_cast<KernelObject*>(handle)->mutex);
    return it == M().mutexes.end() ? nullptr : &it->second;
}

}  // namespace

BOOL ReleaseMutex(HANDLE hMutex) {
    Log("ReleaseMutex");
    NamedMutex* mutex = MutexOf(hMutex);
    if (!mutex) return Fail(ERROR_INVALID_HANDLE);
    if (!mutex->heldByCaller) return Fail(288);  // ERROR_NOT_OWNER
    mutex->heldByCaller = --mutex->heldTimes > 0;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (DWORD fault = Inject("WaitForSingleObject")) {
        lastError = fault;
        return WAIT_FAILED;
    }
    M().waits.push_back(dwMilliseconds);
    NamedMutex* mutex = MutexOf(hHandle);
    if (!mutex) {
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    DWORD result = WAIT_OBJECT_0;
    MutexSetup& other = mutex->setup;
    if (mutex->heldByCaller) {
        result = WAIT_OBJECT_0;
    } else if (other.abandoned) {
        other.abandoned = false;
        other.held = false;
        result = WAIT_ABANDONED;
    } else if (other.held) {
        if (other.releasedAfter == INFINITE || dwMilliseconds < other.releasedAfter) return WAIT_TIMEOUT;
        other.held = false;
    }
    mutex->heldByCaller = true;
    ++mutex->heldTimes;
    return result;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                      PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    if (DWORD fault = Inject("GetSecurityInfo")) return fault;
    NamedMutex* mutex = MutexOf(handle);
    if (!mutex || ObjectType != SE_KERNEL_OBJECT) return ERROR_INVALID_HANDLE;
    if (!(SecurityInfo & OWNER_SECURITY_INFORMATION) || !ppsidOwner || !ppSecurityDescriptor)
        return ERROR_INVALID_PARAMETER;
    // The descriptor handed back holds just the owner SID, in local memory.
    std::vector<BYTE> owner = SidFromString(mutex->setup.owner);
    void* descriptor = std::malloc(owner.size());
    std::memcpy(descriptor, owner.data(), owner.size());
    M().locals.insert(descriptor);
    *ppsidOwner = descriptor;
    *ppSecurityDescriptor = descriptor;
    return ERROR_SUCCESS;
}

BOOL IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType) {
    Log("IsWellKnownSid");
    const char* text = WellKnownSidType == WinLocalSystemSid             ? "S-1-5-18"
                       : WellKnownSidType == WinBuiltinAdministratorsSid ? "S-1-5-32-544"
                                                                         : nullptr;
    if (!text || !pSid) return FALSE;
    std::vector<BYTE> known = SidFromString(text);
    const auto* sid = static_cast<const BYTE*>(pSid);
    return SidLength(sid) == known.size() && std::memcmp(sid, known.data(), known.size()) == 0;
}

namespace {

HINSTANCE__* const kUser32 = reinterpret_cast<HINSTANCE__*>(static_cast<std::intptr_t>(0x7FF20000));
HANDLE const kStandardError = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x5702));

// A USER32 function, reached through the EXE's delay-load slot.
void EnterUser32() {
    if (!M().user32Loads) throw DelayLoadFailed{};
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    Log("LoadLibraryA");
    if (!EqualNoCase(lpLibFileName ? lpLibFileName : "", "USER32.DLL")) {
        lastError = 126;  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    if (!M().user32Loads) {
        lastError = ERROR_DLL_INIT_FAILED;
        return nullptr;
    }
    ++M().modules;
    return kUser32;
}

BOOL FreeLibrary(HMODULE hLibModule) {
    Log("FreeLibrary");
    if (hLibModule != kUser32 || M().modules == 0) return Fail(ERROR_INVALID_HANDLE);
    --M().modules;
    return TRUE;
}

HANDLE GetStdHandle(DWORD nStdHandle) {
    Log("GetStdHandle");
    return nStdHandle == STD_ERROR_HANDLE ? kStandardError : INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    Log("GetConsoleMode");
    if (hConsoleHandle != kStandardError || !M().errorIsConsole) return Fail(ERROR_INVALID_HANDLE);
    *lpMode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
    return TRUE;
}

BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID) {
    NoteOutputPending();
    Log("WriteConsoleW");
    if (hConsoleOutput != kStandardError || !M().errorIsConsole) return Fail(ERROR_INVALID_HANDLE);
    M().console.append(static_cast<const char16_t*>(lpBuffer), nNumberOfCharsToWrite);
    *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    EnterUser32();
    NoteOutputPending();
    // No box: no desktop heap left to connect to the desktop, no memory.
    if (DWORD fault = Inject("MessageBoxA")) {
        lastError = fault;
        return 0;
    }
    M().boxes.push_back({hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "", uType});
    return IDOK;
}

namespace {

// The process's window station: one object, never closed.
HWINSTA__* const kStation = reinterpret_cast<HWINSTA__*>(static_cast<std::intptr_t>(0x5701));

}  // namespace

HWINSTA GetProcessWindowStation() {
    EnterUser32();
    if (DWORD fault = Inject("GetProcessWindowStation")) {
        lastError = fault;
        return nullptr;
    }
    return kStation;
}

BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD lpnLengthNeeded) {
    EnterUser32();
    if (DWORD fault = Inject("GetUserObjectInformationA")) return Fail(fault);
    if (hObj != kStation) return Fail(ERROR_INVALID_HANDLE);
    if (nIndex != UOI_FLAGS) return Fail(ERROR_INVALID_PARAMETER);
    if (lpnLengthNeeded) *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
    if (!pvInfo || nLength < sizeof(USEROBJECTFLAGS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    USEROBJECTFLAGS flags = {FALSE, FALSE, M().stationVisible ? static_cast<DWORD>(WSF_VISIBLE) : 0};
    std::memcpy(pvInfo, &flags, sizeof flags);
    return TRUE;
}

namespace {

HINSTANCE__* const kKernel32 = reinterpret_cast<HINSTANCE__*>(static_cast<std::intptr_t>(0x7FF10000));

BOOL WINAPI StandinSetDefaultDllDirectories(DWORD DirectoryFlags) {
    Log("SetDefaultDllDirectories");
    M().defaultDllDirectories = DirectoryFlags;
    return TRUE;
}

}  // namespace

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    Log("GetModuleHandleA");
    std::string name = lpModuleName ? lpModuleName : "";
    if (EqualNoCase(name, "KERNEL32.DLL") || EqualNoCase(name, "KERNEL32")) return kKernel32;
    lastError = 126;  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    Log("GetProcAddress");
    if (hModule == kKernel32 && lpProcName && std::string(lpProcName) == "SetDefaultDllDirectories" &&
        M().dllDirectoriesSupported)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&StandinSetDefaultDllDirectories));
    lastError = 127;  // ERROR_PROC_NOT_FOUND
    return nullptr;
}
