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

// The whole run; gives the exit status, 0 or -1.
int RunTool(int argc, const char* const* argv);
