// State of the stand-in machine, shared by the files that implement it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "machine.h"

namespace standin {

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool EqualNoCase(const std::string& a, const std::string& b);

struct KeyNode {
    std::map<std::string, std::shared_ptr<KeyNode>, NoCaseLess> subkeys;
    std::map<std::string, RegValue, NoCaseLess> values;
    bool deleted = false;
    DWORD createOptions = REG_OPTION_NON_VOLATILE;
    bool createdByCall = false;  // made by RegCreateKeyExA, not laid out by a test
};

struct Service {
    ServiceRecord record;
    StopBehaviour stopBehaviour = StopBehaviour::Stops;
    int pendingInterrogations = 0;
    bool deviceRefuses = false;
};

struct KernelObject {
    bool token = false;
    bool threadToken = false;
    DWORD access = 0;
    std::string mutex;  // the name, for a mutex handle
};

struct NamedMutex {
    MutexSetup setup;
    std::string securityDescriptor;
    bool heldByCaller = false;
    int heldTimes = 0;  // a holder's waits each need a release
    int handles = 0;
};

struct Fault {
    std::string op;  // empty: counted over every failable call
    long remaining;
    DWORD code;
};

struct CallHook {
    std::string op;
    int remaining;  // calls of op until it runs
    bool every;     // before every call of op instead
    std::function<void()> action;
};

struct Machine {
    std::shared_ptr<KeyNode> hklm;
    std::set<std::string, NoCaseLess> files;
    std::string systemDirectory;
    std::map<std::string, std::shared_ptr<Service>, NoCaseLess> services;
    std::map<std::string, DeviceState, NoCaseLess> devices;
    std::vector<TokenGroup> processGroups;
    bool threadToken = false;
    std::vector<TokenGroup> threadGroups;

    std::vector<Fault> faults;
    std::vector<CallHook> hooks;
    std::vector<std::string> failableLog;
    std::vector<std::string> callLog;
    std::vector<size_t> injectedAt;  // callLog positions of injected failures
    std::vector<Box> boxes;
    int boxesAfterPendingOutput = 0;
    std::vector<DWORD> sleeps;
    std::vector<DeviceOpen> deviceOpens;
    std::vector<DWORD> waits;
    bool stationVisible = true;
    bool dllDirectoriesSupported = true;
    std::optional<DWORD> defaultDllDirectories;
    DWORD processSession = 1;
    DWORD consoleSession = 1;
    std::map<std::string, NamedMutex> mutexes;
    std::vector<std::pair<std::string, std::string>> mutexesCreated;
    std::map<DWORD, std::string> systemTexts;  // set by a test, over the English ones
    UINT codePage = 1252;
    bool user32Loads = true;
    int modules = 0;
    bool errorIsConsole = false;
    std::u16string console;
    long killAt = 0;  // the call the process ends at, 0 for none

    std::set<HKEY> openKeys;
    std::set<SC_HANDLE> openServices;
    std::set<HANDLE> openKernel;
    std::set<PSID> sids;
    std::set<HLOCAL> locals;
    size_t largestLocal = 0;
};

Machine& M();

// Whether the caller's effective token (the thread's, else the process's)
// holds Administrators enabled, as Windows' access checks see it.
bool CallerIsAdministrator();

// Records a call of op that can fail; gives the injected error code, or 0.
DWORD Inject(const char* op);
// Records a call that never fails.
void Log(const char* op);

std::vector<std::string> SplitPath(const std::string& path);
std::shared_ptr<KeyNode> FindKey(const std::string& path);
std::shared_ptr<KeyNode> MakeKey(const std::string& path);
void RemoveKeyTree(const std::string& path);
std::vector<BYTE> SidFromString(const std::string& text);

// What the A functions do to string data: Windows-1252 to UTF-16 and back,
// a character outside the code page becoming '?'.
bool IsStringType(DWORD type);
std::vector<BYTE> Utf16FromAnsi(const std::vector<BYTE>& ansi);
std::vector<BYTE> AnsiFromUtf16(const std::vector<BYTE>& utf16);
size_t SidLength(const BYTE* sid);

}  // namespace standin

struct HKEY__ {
    std::shared_ptr<standin::KeyNode> node;
    REGSAM access = 0;  // generic rights already mapped
    bool underSystem = false;
};

struct SC_HANDLE__ {
    bool manager = false;
    std::shared_ptr<standin::Service> service;
    DWORD access = 0;
};
