// Control interface of the stand-in Windows: tests lay out a machine, make
// any platform call fail on demand, and read back what the tool did.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "win32.h"

namespace standin {

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RegValue&) const = default;
};

struct ServiceRecord {
    std::string name;
    std::string displayName;
    std::string binaryPath;
    std::string loadOrderGroup;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    DWORD state = SERVICE_STOPPED;
    bool markedForDelete = false;
    int openHandles = 0;
};

// How a running driver answers SERVICE_CONTROL_STOP.
enum class StopBehaviour {
    Stops,    // unloads at once; the request succeeds
    Refuses,  // has no unload routine: 1061, stays running
    Pending,  // 1061 with STOP_PENDING; stops after some interrogations
};

enum class DeviceState { Absent, Opens, Refuses };

struct Box {
    HWND owner = nullptr;
    std::string text;
    std::string title;
    UINT flags = 0;
};

// One CreateFileA of a device, as the caller asked for it.
struct DeviceOpen {
    std::string path;
    DWORD access = 0;
    DWORD share = 0;
    DWORD disposition = 0;
    DWORD flags = 0;
};

struct OpenCounts {
    int keys = 0;
    int services = 0;
    int kernelHandles = 0;  // tokens and devices
    int tokens = 0;
    int sids = 0;
    int localBuffers = 0;
    int modules = 0;  // LoadLibraryA without its FreeLibrary
    int Total() const { return keys + services + kernelHandles + sids + localBuffers + modules; }
};

// A fresh machine: a system directory of C:\WINDOWS\system32 holding
// DRIVERS\KTRX.SYS, the System event log with a few sources, a process token
// in the Administrators group and no thread token, no KTRX service. All
// records, faults and open handles are cleared.
void ResetMachine();

// Registry, addressed by paths below HKEY_LOCAL_MACHINE ("System\\...").
void CreateKey(const std::string& path);
void DeleteTree(const std::string& path);
bool KeyExists(const std::string& path);
void PutValue(const std::string& keyPath, const std::string& name, DWORD type, const std::vector<BYTE>& data);
void PutDword(const std::string& keyPath, const std::string& name, DWORD value);
// String values are stored as Windows stores them, in UTF-16: PutMultiSz
// takes its entries in the ANSI code page (Windows-1252), PutMultiSzW in
// UTF-16. PutValue and GetValue give and take the stored bytes.
void PutMultiSz(const std::string& keyPath, const std::string& name, const std::vector<std::string>& entries);
void PutMultiSzW(const std::string& keyPath, const std::string& name, const std::vector<std::u16string>& entries);
// UTF-16 units as stored bytes (little-endian), and back; an odd last byte
// is no unit.
std::vector<BYTE> BytesOf(const std::u16string& units);
std::u16string UnitsOf(const std::vector<BYTE>& bytes);
void RemoveValue(const std::string& keyPath, const std::string& name);
std::optional<RegValue> GetValue(const std::string& keyPath, const std::string& name);
// The options RegCreateKeyExA created a key with (REG_OPTION_VOLATILE or
// not); none for a key that no call created.
std::optional<DWORD> KeyCreateOptions(const std::string& path);
// Every key and value in a fixed order, for before/after comparisons.
std::string DumpRegistry();

// Files, by full path, compared without regard to case.
void PutFile(const std::string& path);
void RemoveFile(const std::string& path);
void SetSystemDirectory(const std::string& dir);

// Services
std::optional<ServiceRecord> GetService(const std::string& name);
void AddService(const ServiceRecord& record);  // registry key included
void SetServiceState(const std::string& name, DWORD state);
void SetStopBehaviour(const std::string& name, StopBehaviour behaviour, int pendingInterrogations = 0);
// The device that the driver offers while it runs refuses to open.
void SetDeviceRefusesWhenRunning(const std::string& name, bool refuses);

// Devices ("KTRX" for \\.\KTRX)
void SetDevice(const std::string& name, DeviceState state);
DeviceState GetDevice(const std::string& name);

// The caller's token. SIDs are written as S-1-5-32-544. Access checks follow
// it as Windows' do: a caller whose effective token (the thread's, else the
// process's) does not hold Administrators enabled is refused write access
// to keys below HKLM\SYSTEM and all but connecting to the service manager.
struct TokenGroup {
    std::string sid;
    DWORD attributes = SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY;
};
void SetProcessTokenGroups(const std::vector<TokenGroup>& groups);
void SetThreadToken(bool present, const std::vector<TokenGroup>& groups = {});

// The window station the process runs in (WinSta0 is visible) and the
// sessions: the process's and the one attached to the console (0 before
// session 0 isolation, 0xFFFFFFFF while none is).
void SetWindowStation(bool visible);
void SetSessions(DWORD processSession, DWORD consoleSession);

// A named mutex as another run (or another program) left it. owner is a SID
// string; a mutex whose security refuses the caller cannot be opened; a held
// one is let go after releasedAfter milliseconds of waiting (never when
// INFINITE); an abandoned one was held by a run that ended without
// releasing it.
struct MutexSetup {
    std::string owner = "S-1-5-32-544";
    bool refusesCaller = false;
    bool held = false;
    DWORD releasedAfter = INFINITE;
    bool abandoned = false;
};
void PutMutex(const std::string& name, const MutexSetup& setup);
struct MutexRecord {
    std::string owner;
    std::string securityDescriptor;  // as the creator gave it, in SDDL
    bool heldByCaller = false;
    int handles = 0;
};
std::optional<MutexRecord> GetMutex(const std::string& name);
// Each mutex that CreateMutexA made: its name and security descriptor.
const std::vector<std::pair<std::string, std::string>>& MutexesCreated();

// Whether KERNEL32 has SetDefaultDllDirectories (systems before Windows 8
// without KB2533623 do not), and the flags it was last called with.
void SetDllDirectoriesSupported(bool supported);
std::optional<DWORD> DefaultDllDirectories();

// A system in another language: the text FormatMessageA gives for code, in
// the ANSI code page, instead of Windows' English one; and the code page
// that GetACP answers and IsDBCSLeadByte follows (932 has double-byte
// characters). The registry's A functions keep converting through 1252.
void SetSystemText(DWORD code, const std::string& text);
void SetCodePage(UINT codePage);

// USER32 that cannot be loaded (LoadLibraryA fails with 1114, as when a
// session's desktop heap is used up). A USER32 function called then ends
// the process as the delay-load helper's exception 0xC06D007E does: the
// stand-in throws DelayLoadFailed.
struct DelayLoadFailed {};
void SetUser32Loads(bool loads);
// Standard error a console (GetConsoleMode succeeds on it); what
// WriteConsoleW wrote to it.
void SetStandardErrorConsole(bool console);
const std::u16string& ConsoleText();

// A killed run. The process ends just before its nth platform call counted
// from the machine's reset (the call is not made): Killed is thrown out of
// it, and what standard output and error held unwritten is lost, as the
// process's buffers are. EndProcess then does what the system does when a
// process ends: closes its keys, service handles, tokens, devices and
// mutexes (a held mutex is abandoned; a service marked for deletion goes
// with its last handle once stopped) and frees its SIDs and local memory.
struct Killed {};
void KillAtCall(long n);
void EndProcess();

// Faults. The nth call of op counted from now fails with code. Calls that
// release something (RegCloseKey, CloseHandle...) never fail.
void FailCall(const std::string& op, DWORD code, int nth = 1);
// The kth failable platform call counted from now fails with code.
void FailNthCall(long k, DWORD code);
void ClearFaults();
// Runs action just before the nth call of op counted from now (the call
// then sees what it changed), or before every call of op when nth is 0:
// another program acting between two of the tool's calls.
void BeforeCall(const std::string& op, std::function<void()> action, int nth = 1);
// How many failable calls were made since the machine was reset.
long FailableCallCount();
// Names of the failable calls made, in order: FailNthCall(k) fails the kth.
const std::vector<std::string>& FailableCalls();
// Names of every platform call made, in order.
const std::vector<std::string>& CallLog();
int CallsTo(const std::string& op);
// Where in CallLog() each injected failure struck.
const std::vector<size_t>& InjectedCalls();

// Records
const std::vector<Box>& Boxes();
// Boxes (or their lines on standard error) that came while standard output
// still held unwritten bytes.
int BoxesAfterPendingOutput();
const std::vector<DWORD>& Sleeps();
const std::vector<DeviceOpen>& DeviceOpens();
// The largest LocalAlloc since the machine was reset, in bytes.
size_t LargestLocalAlloc();
// Each WaitForSingleObject's time-out, apart from the sleeps.
const std::vector<DWORD>& Waits();
OpenCounts Open();

}  // namespace standin
