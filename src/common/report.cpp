#include "common/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kBoxTextSize = 260;
constexpr char kErrorTitle[] = "DRIVER INSTALLATION ERROR";

// The length of text without its closing line breaks.
size_t LengthWithoutClosingBreaks(const char* text) {
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    return length;
}

// Whether this process runs in session 0 while the console belongs to
// another session (session 0 isolation): nobody sees its boxes. Asked
// before USER32 is loaded, so that a service's run does not initialise
// USER32 on the service desktop only to free it again.
bool InIsolatedSession() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0 && WTSGetActiveConsoleSessionId() != 0;
}

// Whether the process's window station is one somebody sees: not one
// without WSF_VISIBLE (a service's, a deployment agent's). What cannot be
// told counts as visible.
bool StationIsVisible() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station && GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return (flags.dwFlags & WSF_VISIBLE) != 0;
    return true;
}

// "title: text" and a line break on standard error: one line per message,
// as an agent's log reads lines. The text's closing line breaks are dropped
// and each run of line breaks inside it is written as kLineSeparator. A
// console gets the line through WriteConsoleW, converted from the ANSI code
// page the text is in: given the ANSI bytes it would show them in its own
// OEM code page (1251 Russian text as 866 garbage). A pipe or a file gets
// the ANSI bytes, as a log read in Notepad expects them.
void WriteBoxLine(const char* text, const char* title) {
    constexpr char kLineSeparator[] = " | ";
    char line[4 * kBoxTextSize];
    int written = std::snprintf(line, sizeof line, "%s: ", title);
    if (written < 0) return;
    size_t size = static_cast<size_t>(written) < sizeof line ? static_cast<size_t>(written) : sizeof line - 1;
    const size_t length = LengthWithoutClosingBreaks(text);
    // The title, the text with its separators and the closing line break
    // fit: a box text has at most 259 bytes, a separator stands for at
    // least one of them, and a title is short.
    for (size_t at = 0; at < length && size + sizeof kLineSeparator < sizeof line;) {
        if (text[at] != '\r' && text[at] != '\n') {
            line[size++] = text[at++];
            continue;
        }
        while (text[at] == '\r' || text[at] == '\n') ++at;
        std::memcpy(line + size, kLineSeparator, sizeof kLineSeparator - 1);
        size += sizeof kLineSeparator - 1;
    }
    line[size++] = '\n';
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error && error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode)) {
        WCHAR wide[sizeof line];
        int units = MultiByteToWideChar(CP_ACP, 0, line, static_cast<int>(size), wide, static_cast<int>(sizeof line));
        DWORD done = 0;
        if (units > 0 && WriteConsoleW(error, wide, static_cast<DWORD>(units), &done, nullptr)) return;
    }
    std::fwrite(line, 1, size, stderr);
    std::fflush(stderr);
}

// A modal box where someone can see it; otherwise the line on standard
// error, since a box that nobody can see would never be closed. USER32 is
// delay-loaded: loading it here first makes a USER32 that cannot be loaded
// or initialised (a session's desktop heap used up gives
// ERROR_DLL_INIT_FAILED) an answer, where the first delayed call would
// raise 0xC06D007E and end the process without a word. Without USER32
// nobody can see a box either. A box that could not be made (MessageBoxA
// gives 0: no desktop heap left to connect to the desktop, no memory)
// leaves the line too, so that no message is lost.
void ShowBox(const char* text, const char* title, UINT flags) {
    if (InIsolatedSession()) {
        WriteBoxLine(text, title);
        return;
    }
    HMODULE user32 = LoadLibraryA("USER32.DLL");
    if (!user32 || !StationIsVisible() || MessageBoxA(nullptr, text, title, flags) == 0) WriteBoxLine(text, title);
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
// end with a terminator: whole if it fits, whole without its closing line
// break if only that does not fit, otherwise cut after its last
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
    const size_t visible = LengthWithoutClosingBreaks(systemText);
    if (length < room) {
        std::memcpy(text + used, systemText, length + 1);
    } else if (visible < room) {
        // Whole but for its closing line break, which there is no room for.
        std::memcpy(text + used, systemText, visible);
        text[used + visible] = '\0';
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
