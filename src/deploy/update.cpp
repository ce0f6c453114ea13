#include "deploy/update.h"

#include <vector>

namespace {

constexpr char kServiceName[] = "KTRX";
// Volatile: it goes with the restart that loads the new image.
constexpr char kRestartKey[] = "SYSTEM\\CurrentControlSet\\Services\\KTRX\\UpdateAtRestart";
constexpr DWORD kStopPolls = 20;  // 500 ms apart: 10 seconds
constexpr DWORD kPollMilliseconds = 500;

void Say(const Reporter& reporter, const std::string& line) { reporter.say(reporter.context, line); }

std::string ErrorSuffix(DWORD error) { return ": error " + std::to_string(error); }

void NoteRestart() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRestartKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
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
    if (!MoveFileExA(staged.c_str(), target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileA(staged.c_str());
        Say(reporter, "cannot schedule the replacement of " + target + ErrorSuffix(error));
        return false;
    }
    Say(reporter, "the new KTRX.SYS replaces " + target + " when the system restarts");
    return true;
}

}  // namespace

std::string FileSha256(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string hex;
    if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            std::vector<BYTE> buffer(65536);
            DWORD got = 0;
            bool read = true;
            while ((read = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) && got > 0)
                if (!CryptHashData(hash, buffer.data(), got, 0)) {
                    read = false;
                    break;
                }
            BYTE digest[32];
            DWORD size = sizeof digest;
            if (read && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest) {
                static const char kHex[] = "0123456789ABCDEF";
                for (BYTE b : digest) {
                    hex += kHex[b >> 4];
                    hex += kHex[b & 15];
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
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

bool RestartNoted() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRestartKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

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
