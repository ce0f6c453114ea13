#include "common/report.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr DWORD kBoxTextSize = 260;
constexpr char kErrorTitle[] = "DRIVER INSTALLATION ERROR";

}  // namespace

void ReportError(const char* message, DWORD code) {
    char text[kBoxTextSize];
    int length = std::snprintf(text, sizeof text, "%s; ", message);
    if (length < 0) length = 0;
    auto used = static_cast<DWORD>(length) < kBoxTextSize ? static_cast<DWORD>(length) : kBoxTextSize - 1;
    if (code != 0) {
        DWORD written = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                       text + used, kBoxTextSize - used, nullptr);
        if (written == 0) text[used] = '\0';
    }
    MessageBoxA(nullptr, text, kErrorTitle, MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
}

void ShowInformation(const char* text, const char* title) {
    MessageBoxA(nullptr, text, title, MB_OK | MB_ICONINFORMATION);
}

// The progress formats are printf formats, passed on to vprintf as they are.
void PrintProgress(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
