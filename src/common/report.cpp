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

// "title: text" and a line break on standard error, the text without its
// closing line breaks. A console gets the line through WriteConsoleW,
// converted from the ANSI code page the text is in: given the ANSI bytes it
// would show them in its own OEM code page (1251 Russian text as 866
// garbage). A pipe or a file gets the ANSI bytes, as a log read in Notepad
// expects them.
void WriteBoxLine(const char* text, const char* title) {
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    char line[2 * kBoxTextSize];
    int size = std::snprintf(line, sizeof line, "%s: %.*s\n", title, static_cast<int>(length), text);
    if (size < 0) return;
    if (static_cast<size_t>(size) >= sizeof line) size = static_cast<int>(sizeof line) - 1;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error && error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode)) {
        WCHAR wide[sizeof line];
        int units = MultiByteToWideChar(CP_ACP, 0, line, size, wide, static_cast<int>(sizeof line));
        DWORD written = 0;
        if (units > 0 && WriteConsoleW(error, wide, static_cast<DWORD>(units), &written, nullptr)) return;
    }
    std::fwrite(line, 1, static_cast<size_t>(size), stderr);
    std::fflush(stderr);
}

// A modal box where someone can see it; otherwise the line on standard
// error, since a box that nobody can see would never be closed. USER32 is
// delay-loaded: loading it here first makes a USER32 that cannot be loaded
// or initialised (a session's desktop heap used up gives
// ERROR_DLL_INIT_FAILED) an answer, where the first delayed call would
// raise 0xC06D007E and end the process without a word. Without USER32
// nobody can see a box either.
void ShowBox(const char* text, const char* title, UINT flags) {
    HMODULE user32 = LoadLibraryA("USER32.DLL");
    if (user32 && BoxCanBeSeen())
        MessageBoxA(nullptr, text, title, flags);
    else
        WriteBoxLine(text, title);
    if (user32) FreeLibrary(user32);
}

// How many bytes of text, at most limit, hold whole characters only: UTF-8
// sequences where the ANSI code page is UTF-8 (where IsDBCSLeadByte knows no
// lead byte), lead and trail byte together in a double-byte code page. Code
// page 932's single-byte katakana look like UTF-8 continuation bytes, so
// the UTF-8 rule is for code page 65001 alone. text is longer than limit.
DWORD WholeCharactersWithin(const char* text, DWORD limit) {
    DWORD kept = 0;
    if (GetACP() == CP_UTF8) {
        kept = limit;
        while (kept > 0 && (static_cast<BYTE>(text[kept]) & 0xC0) == 0x80) --kept;
        return kept;
    }
    while (text[kept] != '\0') {
        DWORD next = kept + (IsDBCSLeadByte(static_cast<BYTE>(text[kept])) && text[kept + 1] != '\0' ? 2 : 1);
        if (next > limit) break;
        kept = next;
    }
    return kept;
}

// The system's text for code after the first used bytes of the box, which
// end with a terminator: whole if it fits, otherwise cut after its last
// whole character that leaves room for "...", with the blanks and line
// breaks before the cut dropped. No text leaves the box as it is.
void AppendSystemText(char* text, DWORD used, DWORD code) {
    constexpr char kEllipsis[] = "...";
    constexpr DWORD kFlags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    char* systemText = nullptr;
    if (FormatMessageA(kFlags, nullptr, code, 0, reinterpret_cast<char*>(&systemText), 0, nullptr) == 0) return;
    const DWORD room = kBoxTextSize - used;  // the terminator included
    const size_t length = std::strlen(systemText);
    if (length < room) {
        std::memcpy(text + used, systemText, length + 1);
    } else if (room > sizeof kEllipsis) {
        DWORD kept = WholeCharactersWithin(systemText, room - static_cast<DWORD>(sizeof kEllipsis));
        while (kept > 0 && std::strchr(" \t\r\n", systemText[kept - 1])) --kept;
        std::memcpy(text + used, systemText, kept);
        std::memcpy(text + used + kept, kEllipsis, sizeof kEllipsis);
    }
    LocalFree(systemText);
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
