// The Wine test bed as the end-to-end tests see it: the real DURUVUDE.EXE
// run through the runner, the fixture driver put in place, and the prefix's
// registry and service manager read directly and put back after each test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "runner.h"

namespace bed {

inline const char kSystemLog[] = "System\\CurrentControlSet\\Services\\EventLog\\System";
inline const char kSourceKey[] = "System\\CurrentControlSet\\Services\\EventLog\\System\\KTRX";
inline const char kServiceKey[] = "System\\CurrentControlSet\\Services\\KTRX";
inline const char kParametersKey[] = "System\\CurrentControlSet\\Services\\KTRX\\Parameters";
inline const char kErrorTitle[] = "DRIVER INSTALLATION ERROR";
inline const char kUsageTitle[] = "Tolvane Kestrix Driver Installer/Uninstaller";
inline const char kNoticeTitle[] = "Tolvane Driver Installer/Uninstaller";

// A path given by the build through the environment, in Windows form.
std::string PathFromEnvironment(const char* name);

// A file's bytes as they are; empty where it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Whether the DURUVUDE.EXE under test is the 32-bit one (run in WoW64).
bool ExeIsX86();

// Whether 32-bit programs are run here: not where the CPU cannot run them
// (DURUVUDE_CPU32=no, from scripts/cpu32.sh). A row that needs one is then
// skipped, saying so on standard output with what it is and why.
bool SkipsThirtyTwoBit(const std::string& what);

// Runs DURUVUDE.EXE with these arguments through the runner.
RunOutcome RunDuruvude(const std::vector<std::string>& args);

// Puts a fixture driver ("KTRX.SYS", "KTRX-REFUSE.SYS") in place as
// system32\drivers\KTRX.SYS, or takes it away.
void PlaceDriver(const char* variant = "KTRX.SYS");
void RemoveDriverFile();

// Takes every trace of KTRX away: the driver stopped, the service deleted
// and gone, the event-log source key deleted.
void RemoveKtrx();

struct RegData {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    bool operator==(const RegData&) const = default;
};
// For failure messages: the type and the bytes in hex.
void PrintTo(const RegData& data, std::ostream* out);
// Through the A functions: string data in the ANSI code page.
std::optional<RegData> ReadValue(const char* key, const char* name);
void WriteValue(const char* key, const char* name, const RegData& data);
// Through the W functions: the bytes as stored, string data in UTF-16.
std::optional<RegData> ReadStored(const char* key, const char* name);
void WriteStored(const char* key, const char* name, const RegData& data);
// A REG_MULTI_SZ "Sources" as stored, with names in several scripts: Latin,
// CJK, Latin-1 accents, Cyrillic and one outside the BMP.
RegData SourcesInSeveralScripts();
bool KeyExists(const char* key);
std::vector<std::string> SourcesEntries();

// Whether the device opens: "\\\\.\\KTRX", or "\\\\.\\KTRX2" that only the
// next version of the fixture driver (KTRX-V2.SYS) offers.
// The processor Windows says it runs on (PROCESSOR_ARCHITECTURE, "AMD64",
// "ARM64"), as it keeps it for every process, set for as long as this
// lives and put back after.
class NativeProcessor {
public:
    explicit NativeProcessor(const char* name);
    ~NativeProcessor();
    NativeProcessor(const NativeProcessor&) = delete;
    NativeProcessor& operator=(const NativeProcessor&) = delete;

private:
    std::optional<RegData> before;
};

bool DeviceOpens(const char* name = "\\\\.\\KTRX");
inline const char kNewImage[] = "\\\\.\\KTRX2";

// A test whose second half follows a restart of the machine, in the
// isolated entries only: RestartAndRunAgain asks scripts/wine-isolated.sh
// for the restart (the wineserver ended, wineboot -r, which carries out
// the replacements waiting for it, the KTRX service kept) and to run the
// test once more; AfterRestart is true in that second run, once an
// installed KTRX has had its automatic start.
bool AfterRestart();
void RestartAndRunAgain();
std::optional<DWORD> ServiceState();  // none when the service does not exist

// The KTRX service's configuration as the service manager keeps it.
struct ServiceConfig {
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::string binaryPath;
    std::string loadOrderGroup;
    std::string displayName;
};
std::optional<ServiceConfig> QueryConfig();  // none when the service does not exist

// Boxes that the test program showed itself (the tool's code called in
// process), answered by a watcher thread so that no failing path can hang a
// test. Each test takes what it expects; WineTest fails on any left over.
std::vector<BoxRecord> TakeOwnBoxes();

// "<message>; " and the system's text for a non-zero code.
std::string ErrorText(const std::string& message, DWORD code);

// Each test starts with no KTRX anywhere and the fixture driver in place,
// and leaves "Sources" as it found it.
class WineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::optional<RegData> sourcesBefore;
};

}  // namespace bed
