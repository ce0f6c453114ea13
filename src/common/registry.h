// Registry helpers shared by the parts of the tool that write values.
#pragma once

#include "platform/platform.h"

// Sets a registry value; on failure reports failureMessage with the code the
// registry returned. True on success.
bool WriteRegistryValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size,
                        const char* failureMessage);

// The same through RegSetValueExW: string data is written as given (UTF-16),
// not converted from the ANSI code page.
bool WriteRegistryValue(HKEY key, const WCHAR* name, DWORD type, const void* data, DWORD size,
                        const char* failureMessage);
