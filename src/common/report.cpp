#include "common/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kBoxTextSize = 260;
constexpr char kErrorTitle[] = "DRIVER INSTALLATION ERROR";

// Whether anyone can see a box of this process. Nobody can in a window
// station without WSF_VISIBLE (a service's, a deployment agent's), nor in
// session 0 while the console belongs to another session (session 0
// isolation). What cannot be told counts as visible.
bool BoxCanBeSeen() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0 && WTSGetActiveConsoleSessionId() != 0)
        return false;
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station && GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return (flags.dwFlags & WSF_VISIBLE) != 0;
    return true;
}

// A modal box where someone can see it; otherwise "title: text" on standard
// error, the text without its closing line breaks, since a box that nobody
// can see would never be closed.
void ShowBox(const char* text, const char* title, UINT flags) {
    if (BoxCanBeSeen()) {
        MessageBoxA(nullptr, text, title, flags);
        return;
    }
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    std::fprintf(stderr, "%s: %.*s\n", title, static_cast<int>(length), text);
    std::fflush(stderr);
}

// The system's text for code at the end of the box, whose first used bytes
// hold the message. A text longer than the room left is cut after its last
// whole character that leaves room for "...", rather than lost.
void AppendSystemText(char* text, DWORD used, DWORD code) {
    constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    constexpr char kCut[] = "...";
    const DWORD room = kBoxTextSize - used;
    if (FormatMessageA(kFlags, nullptr, code, 0, text + used, room, nullptr) != 0) return;
    text[used] = '\0';
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || room <= sizeof kCut) return;
    char* whole = nullptr;
    if (FormatMessageA(kFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0, reinterpret_cast<char*>(&whole), 0,
                       nullptr) == 0)
        return;
    const DWORD limit = room - static_cast<DWORD>(sizeof kCut);
    DWORD kept = 0;
    while (whole[kept] != '\0') {
        DWORD next = kept + (IsDBCSLeadByte(static_cast<BYTE>(whole[kept])) && whole[kept + 1] != '\0' ? 2 : 1);
        if (next > limit) break;
        kept = next;
    }
    while (kept > 0 && whole[kept - 1] == ' ') --kept;
    std::memcpy(text + used, whole, kept);
    std::memcpy(text + used + kept, kCut, sizeof kCut);
    LocalFree(whole);
}

}  // namespace

void ReportError(const char* message, DWORD code) {
    char text[kBoxTextSize];
    int length = std::snprintf(text, sizeof text, "%s; ", message);
    if (length < 0) {
        // The box still shows a string, if not the message.
        text[0] = '\0';
        length = 0;
    }
    auto used = static_cast<DWORD>(length) < kBoxTextSize ? static_cast<DWORD>(length) : kBoxTextSize - 1;
    if (code != 0) AppendSystemText(text, used, code);
    ShowBox(text, kErrorTitle, MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
}

void ShowInformation(const char* text, const char* title) { ShowBox(text, title, MB_OK | MB_ICONINFORMATION); }

// The progress formats are printf formats, passed on to vprintf as they are.
void PrintProgress(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
