// How the tool speaks to the user: the error box, the information box and
// progress lines on standard output.
#pragma once

#include "platform/platform.h"

// Boxes are shown only where someone can see them; elsewhere their title and
// text go to standard error, so that an unattended run never blocks.

// Shows "<message>; " followed, for a non-zero code, by the system's text
// for it, in a system-modal error box.
void ReportError(const char* message, DWORD code);

void ShowInformation(const char* text, const char* title);

// printf-style output to standard output, flushed at once.
void PrintProgress(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
