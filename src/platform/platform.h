// The one way into the Win32 API. On Windows it is <windows.h>; elsewhere the
// stand-in machine declares the same names with the same sizes and values.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "standin/win32.h"
#endif
