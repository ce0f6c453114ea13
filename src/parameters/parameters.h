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

// Creates or opens the Parameters key under the open service key and sets
// VideoTimeout in it to CurrentVideoTimeout, reporting a failure.
bool WriteParameters(HKEY serviceKey);
