// Shared set-up for tests against the stand-in machine: a fresh machine per
// test, the tool's one process-wide value back at its default, and a check
// that nothing the tool opened was left open.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "parameters/parameters.h"
#include "standin/machine.h"

namespace harness {

inline const std::string kSystemLog = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";
inline const std::string kSourceKey = kSystemLog + "\\KTRX";
inline const std::string kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\KTRX";
inline const std::string kParameters = kServiceKey + "\\Parameters";
inline constexpr char kErrorTitle[] = "DRIVER INSTALLATION ERROR";
inline constexpr char kUsageTitle[] = "Tolvane Kestrix Driver Installer/Uninstaller";
inline constexpr char kNoticeTitle[] = "Tolvane Driver Installer/Uninstaller";

struct RunResult {
    int status = 0;
    std::string output;
    std::string errors;  // standard error
};

// Runs the tool with the given arguments (argv[0] is added).
RunResult RunDuruvude(const std::vector<std::string>& args);

// Runs a piece of the tool, giving what it wrote to standard output (and,
// given errors, to standard error).
std::string Capture(const std::function<void()>& body, std::string* errors = nullptr);

// The system's text for a code, as the stand-in gives it.
std::string SystemText(DWORD code);

// "<message>; " and the system's text for a non-zero code.
std::string ErrorText(const std::string& message, DWORD code);

std::vector<std::string> BoxTexts();
std::vector<std::string> SourcesEntries();

// A machine with KTRX installed as the tool leaves it, driver running.
void LayOutInstalledDriver(DWORD state = SERVICE_RUNNING);

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace harness
