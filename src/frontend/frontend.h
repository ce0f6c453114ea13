// The command line and the run sequence.
#pragma once

#include "platform/platform.h"

struct RunRequest {
    bool install = false;
    bool uninstall = false;
    bool setTimeout = false;
};

enum class ScanResult {
    Ok,
    Usage,           // an argument that is no keyword
    InvalidTimeout,  // "videotimeout" without a number after it
};

// Reads a timeout as the tool accepts it: leading white space, an optional
// sign, decimal digits taken modulo 2^32, anything after them ignored.
// False when no digit can be read.
bool ParseTimeout(const char* text, LONG& value);

// Walks argv[1..argc-1] into request; a timeout goes to CurrentVideoTimeout.
// Stops at the first argument it cannot take.
ScanResult ScanArguments(int argc, const char* const* argv, RunRequest& request);

void ShowUsage();

// True when the caller's token lists the built-in Administrators group.
bool IsAdministrator();

enum class LockResult {
    Taken,           // lock holds the mutex
    GoingOnWithout,  // the lock could not be had or trusted; lock is NULL
    TimedOut,        // another run held it for 60 seconds: reported, lock is NULL
};

// Takes the installation lock, waiting for another run that holds it. Where
// the lock cannot be had (no mutex, one that another user made, a failed
// wait), says so and lets the run go on without it.
LockResult TakeInstallationLock(HANDLE& lock);

// Lets the lock go; nothing for a NULL lock.
void ReleaseInstallationLock(HANDLE lock);

// Lets DLLs load from the system directory only, where the system supports
// it, so that none planted beside the EXE (a download folder) is loaded for
// the delay-loaded USER32 or for anything the system loads on its behalf.
void RestrictDllSearch();

// The whole run, DLL search restricted first; gives the exit status, 0 or -1.
int RunTool(int argc, const char* const* argv);
