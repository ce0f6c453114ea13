// The driver's service: installation and start, stop and removal.
#pragma once

#include "platform/platform.h"

// Registers the driver, writes its Parameters key and event-log source, and
// starts it. True when the service exists and its registry entries are
// complete, whatever the start gave.
bool InstallDriver(SC_HANDLE manager);

// True when the driver was running already or has been started.
bool StartDriver(SC_HANDLE manager);

// The driver's service opened with the given access, or NULL after saying
// why. The caller closes the handle.
SC_HANDLE OpenDriverService(SC_HANDLE manager, DWORD access);

// True when the driver's device opens.
bool IsDriverRunning();

// Stops the driver if it runs, removes its event-log source and deletes its
// service. True when the deletion was accepted in this call.
bool RemoveDriver(SC_HANDLE manager);
