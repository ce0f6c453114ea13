// The one way into the Win32 API. On Windows it is <windows.h>; elsewhere the
// tests' stand-in machine (tests/standin, host build only) declares the same
// names with the same sizes and values.
#pragma once

#ifdef _WIN32
#include <windows.h>
// After windows.h: the security descriptor and object security functions.
#include <aclapi.h>
#include <sddl.h>
#else
#include "standin/win32.h"
#endif
