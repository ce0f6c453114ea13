// Which processor a driver image is built for, and which one Windows runs
// on. A kernel driver must be native: Windows emulates x86 and x64 code in
// user mode only.
#pragma once

#include <string>

#include "platform/platform.h"

// The machine field of a PE image's file header (0x8664 x64, 0x14C x86,
// 0xAA64 ARM64); 0 where the file cannot be read or is no PE image.
WORD ImageMachine(const std::string& path);

// The machine of Windows itself, from what Windows keeps for every process
// (PROCESSOR_ARCHITECTURE under the Session Manager's Environment key), not
// from this process's own view, which emulation changes: an x64 process on
// ARM64 is told AMD64 by its environment and by GetNativeSystemInfo. 0
// where it cannot be read or is none of the three.
WORD NativeMachine();

// "x64", "x86", "ARM64", or the number in hex.
std::string MachineName(WORD machine);
