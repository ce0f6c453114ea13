#include "deploy/update.h"

#include <vector>

#include "common/ascii.h"

namespace {

constexpr char kServiceName[] = "KTRX";
// Volatile: it goes with the restart that loads the new image.
constexpr char kRestartKey[] = "SYSTEM\\CurrentControlSet\\Services\\KTRX\\UpdateAtRestart";
constexpr char kStoppedKey[] = "SYSTEM\\CurrentControlSet\\Services\\KTRX\\StoppedForUpdate";
constexpr DWORD kStopPolls = 20;  // 500 ms apart: 10 seconds
constexpr DWORD kPollMilliseconds = 500;

void Say(const Reporter& reporter, const std::string& line) { reporter.say(reporter.context, line); }

std::string ErrorSuffix(DWORD error) { return ": error " + std::to_string(error); }

void Note(const char* name) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
        RegCloseKey(key);
}

bool Noted(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void NoteRestart() { Note(kRestartKey); }

// Replaces to with from at the next restart. The system carries the rename
// out, and the Sysnative alias of a 32-bit process means nothing to it: in
// such a process both are named by their native paths, with the file
// system redirection off for the call.
bool ReplaceAtRestart(const std::string& from, const std::string& to) {
    constexpr DWORD kFlags = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return MoveFileExA(from.c_str(), to.c_str(), kFlags);
    const auto native = [](std::string path) {
        std::string lower = path;
        for (char& c : lower) c = FoldCase(c);
        const size_t at = lower.find("\\sysnative\\");
        if (at != std::string::npos) path.replace(at, 11, "\\System32\\");
        return path;
    };
    PVOID redirection = nullptr;
    if (!Wow64DisableWow64FsRedirection(&redirection)) return false;
    const BOOL moved = MoveFileExA(native(from).c_str(), native(to).c_str(), kFlags);
    const DWORD error = GetLastError();
    Wow64RevertWow64FsRedirection(redirection);
    SetLastError(error);
    return moved;
}

// A copy of source beside target (the same folder, so the same volume,
// which only administrators and SYSTEM can write), put over target at the
// next restart. Scheduled once: a copy already waiting with these bytes is
// left as it is.
bool StageForRestart(const std::string& source, const std::string& target, const std::string& sourceHash,
                     const Reporter& reporter) {
    const std::string staged = target + ".update";
    if (FileSha256(staged) == sourceHash) {
        Say(reporter, "the new KTRX.SYS already waits for the restart as " + staged);
        return true;
    }
    if (!CopyFileA(source.c_str(), staged.c_str(), FALSE)) {
        Say(reporter, "cannot copy " + source + " to " + staged + ErrorSuffix(GetLastError()));
        return false;
    }
    if (!ReplaceAtRestart(staged, target)) {
        const DWORD error = GetLastError();
        DeleteFileA(staged.c_str());
        Say(reporter, "cannot schedule the replacement of " + target + ErrorSuffix(error));
        return false;
    }
    Say(reporter, "the new KTRX.SYS replaces " + target + " when the system restarts");
    return true;
}

}  // namespace

std::string ReachableFromHere(const std::string& nativePath) {
    BOOL wow64 = FALSE;
    char system[MAX_PATH] = {}, windows[MAX_PATH] = {};
    const UINT systemLength = GetSystemDirectoryA(system, MAX_PATH);
    const UINT windowsLength = GetWindowsDirectoryA(windows, MAX_PATH);
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64 || systemLength == 0 || systemLength >= MAX_PATH ||
        windowsLength == 0 || windowsLength >= MAX_PATH || nativePath.size() <= systemLength ||
        nativePath[systemLength] != '\\' ||
        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, nativePath.c_str(), static_cast<int>(systemLength), system,
                       static_cast<int>(systemLength)) != CSTR_EQUAL)
        return nativePath;
    return std::string(windows) + "\\Sysnative" + nativePath.substr(systemLength);
}

std::string FileSha256(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    // CNG: no cryptographic service provider to be registered (a 32-bit
    // process finds none where only the 64-bit one is).
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::string hex;
    DWORD objectSize = 0, got = 0;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0) {
        if (BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                              &got, 0) >= 0) {
            std::vector<UCHAR> object(objectSize);
            if (BCryptCreateHash(algorithm, &hash, object.data(), objectSize, nullptr, 0, 0) >= 0) {
                std::vector<BYTE> buffer(65536);
                bool read = true;
                while ((read = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) &&
                       got > 0)
                    if (BCryptHashData(hash, buffer.data(), got, 0) < 0) {
                        read = false;
                        break;
                    }
                UCHAR digest[32];
                if (read && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0) {
                    static const char kHex[] = "0123456789ABCDEF";
                    for (UCHAR b : digest) {
                        hex += kHex[b >> 4];
                        hex += kHex[b & 15];
                    }
                }
                BCryptDestroyHash(hash);
            }
        }
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    CloseHandle(file);
    return hex;
}

StopResult StopForUpdate(const Reporter& reporter) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        Say(reporter, "cannot open the service manager" + ErrorSuffix(GetLastError()));
        NoteRestart();
        return StopResult::CannotStop;
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
    const DWORD openError = service ? ERROR_SUCCESS : GetLastError();
    SERVICE_STATUS status = {};
    StopResult result = StopResult::NotRunning;
    if (!service) {
        if (openError != ERROR_SERVICE_DOES_NOT_EXIST) {
            Say(reporter, "cannot open the service KTRX" + ErrorSuffix(openError));
            result = StopResult::CannotStop;
        }
    } else if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        Say(reporter, "stopping KTRX to replace its KTRX.SYS");
        if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
            Say(reporter, "the stop was refused" + ErrorSuffix(GetLastError()));
        // A stop in progress is waited for; a driver still running a
        // second after its stop has refused to unload.
        result = StopResult::CannotStop;
        for (DWORD poll = 0; poll < kStopPolls; ++poll) {
            if (!QueryServiceStatus(service, &status)) break;
            if (status.dwCurrentState == SERVICE_STOPPED) {
                result = StopResult::Stopped;
                break;
            }
            if (status.dwCurrentState == SERVICE_RUNNING && poll >= 2) break;
            Sleep(kPollMilliseconds);
        }
        if (result == StopResult::CannotStop) Say(reporter, "KTRX did not stop: it keeps running until the restart");
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (result == StopResult::CannotStop) NoteRestart();
    return result;
}

bool RestartNoted() { return Noted(kRestartKey); }

void NoteStoppedForUpdate() { Note(kStoppedKey); }

bool TakeStoppedNote() { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, kStoppedKey) == ERROR_SUCCESS; }

void StartAgain(const Reporter& reporter) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_START) : nullptr;
    if (service && !StartServiceA(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        Say(reporter, "cannot start KTRX again" + ErrorSuffix(GetLastError()));
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
}

UpdateResult UpdateDriverFile(const std::string& source, const std::string& target, const Reporter& reporter) {
    const std::string sourceHash = FileSha256(source);
    if (sourceHash.empty()) {
        Say(reporter, "cannot read " + source + ErrorSuffix(GetLastError()));
        return UpdateResult::Failed;
    }
    if (FileSha256(target) == sourceHash) {
        if (!RestartNoted()) return UpdateResult::Same;
        Say(reporter, "KTRX still runs its old image: the restart completes the update");
        return UpdateResult::AtRestart;
    }
    const StopResult stop = StopForUpdate(reporter);
    if (stop == StopResult::CannotStop)
        return StageForRestart(source, target, sourceHash, reporter) ? UpdateResult::AtRestart : UpdateResult::Failed;
    if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
        Say(reporter, "cannot copy " + source + " to " + target + ErrorSuffix(GetLastError()));
        if (stop == StopResult::Stopped) StartAgain(reporter);
        return UpdateResult::Failed;
    }
    Say(reporter, "KTRX.SYS copied to " + target);
    return UpdateResult::Placed;
}
