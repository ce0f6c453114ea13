// The driver's one setting, VideoTimeout, in its Parameters key.
#pragma once

#include "platform/platform.h"

// The timeout given on the command line or read from the registry.
extern LONG CurrentVideoTimeout;

// Reads VideoTimeout into CurrentVideoTimeout and sets found; silent, and
// leaves both alone when the value cannot be read.
void ReadVideoTimeout(bool& found);

// Writes CurrentVideoTimeout into the existing Parameters key.
bool ConfigureDriver();

// Sets VideoTimeout under an open Parameters key to CurrentVideoTimeout as a
// REG_DWORD, reporting a failure.
bool StoreVideoTimeout(HKEY parameters);
