// The stand-in's security, base-services and user-interface functions:
// tokens and SIDs, devices, the system directory, system texts, local
// memory, sleeps and message boxes.
#include <cstdlib>
#include <cstring>
#include <map>

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
        {234, "More data is available.\r\n"},
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
    };
    return texts;
}

BOOL Fail(DWORD code) {
    lastError = code;
    return FALSE;
}

HANDLE NewKernelHandle(bool token, bool threadToken, DWORD access) {
    auto* object = new standin::KernelObject{token, threadToken, access};
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
    delete static_cast<KernelObject*>(hObject);
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
    auto it = SystemTexts().find(dwMessageId);
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || it == SystemTexts().end()) {
        lastError = 317;  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    std::string text = it->second;
    // An insert with no arguments: Windows leaves this undefined; answer as Wine does.
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && text.find('%') != std::string::npos) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (nSize < text.size() + 1) {
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

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    Log("MessageBoxA");
    M().boxes.push_back({hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "", uType});
    return IDOK;
}
