// A named mutex that only Administrators and LocalSystem can make, take or
// hold: the locks that serialize DURUVUDE's runs and its deploy script's.
#pragma once

#include "platform/platform.h"

// The mutex of that name ("Global\\..."), created or opened; NULL when it
// cannot be had, or when an object of that name belongs to anyone but
// Administrators or LocalSystem (such an object must not be able to hold an
// administrator's run back).
HANDLE OpenAdministratorsMutex(const char* name);

// Takes that mutex: at once, or, after calling waiting() (which says so),
// within milliseconds. WAIT_OBJECT_0 when it is held, an abandoned one
// included (its holder was killed: it is ours now); WAIT_TIMEOUT or
// WAIT_FAILED otherwise.
DWORD TakeAdministratorsMutex(HANDLE mutex, DWORD milliseconds, void (*waiting)());
