#include "deploy/machine.h"

#include <cstdio>

#include "common/ascii.h"

namespace {

constexpr WORD kX64 = 0x8664, kX86 = 0x14C, kArm64 = 0xAA64;

}  // namespace

WORD ImageMachine(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // The DOS header's e_lfanew, then "PE\0\0" and the machine field there.
    BYTE header[64] = {}, signature[6] = {};
    DWORD got = 0;
    WORD machine = 0;
    if (ReadFile(file, header, sizeof header, &got, nullptr) && got == sizeof header && header[0] == 'M' &&
        header[1] == 'Z') {
        const LONG at = static_cast<LONG>(header[60] | header[61] << 8 | header[62] << 16 | header[63] << 24);
        if (at > 0 && SetFilePointer(file, at, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            ReadFile(file, signature, sizeof signature, &got, nullptr) && got == sizeof signature &&
            signature[0] == 'P' && signature[1] == 'E' && signature[2] == 0 && signature[3] == 0)
            machine = static_cast<WORD>(signature[4] | signature[5] << 8);
    }
    CloseHandle(file);
    return machine;
}

WORD NativeMachine() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    char value[32] = {};
    DWORD type = 0, size = sizeof value - 1;
    const LONG result =
        RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) return 0;
    std::string name(value);
    for (char& c : name) c = FoldCase(c);
    if (name == "amd64") return kX64;
    if (name == "x86") return kX86;
    if (name == "arm64") return kArm64;
    return 0;
}

std::string MachineName(WORD machine) {
    if (machine == kX64) return "x64";
    if (machine == kX86) return "x86";
    if (machine == kArm64) return "ARM64";
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%X", machine);
    return hex;
}
