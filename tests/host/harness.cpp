#include "harness.h"

#include <cstdio>
#include <cstring>

namespace harness {

RunResult RunDuruvude(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"DURUVUDE.EXE"};
    for (const auto& a : args) argv.push_back(a.c_str());
    RunResult result;
    result.output =
        Capture([&] { result.status = RunTool(static_cast<int>(argv.size()), argv.data()); }, &result.errors);
    return result;
}

std::string Capture(const std::function<void()>& body, std::string* errors) {
    ::testing::internal::CaptureStdout();
    if (errors) ::testing::internal::CaptureStderr();
    try {
        body();
    } catch (...) {
        // A killed run: the streams are given back, what it wrote is dropped.
        if (errors) ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        throw;
    }
    if (errors) *errors = ::testing::internal::GetCapturedStderr();
    return ::testing::internal::GetCapturedStdout();
}

std::string SystemText(DWORD code) {
    char text[260] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                        nullptr))
        return "";
    return text;
}

std::string ErrorText(const std::string& message, DWORD code) {
    return message + "; " + (code ? SystemText(code) : "");
}

std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const auto& box : standin::Boxes()) texts.push_back(box.text);
    return texts;
}

std::vector<std::string> SourcesEntries() {
    std::vector<std::string> entries;
    auto value = standin::GetValue(kSystemLog, "Sources");
    if (!value) return entries;
    // Stored in UTF-16; a unit outside ASCII reads as \uXXXX.
    std::string entry;
    for (char16_t unit : standin::UnitsOf(value->data)) {
        if (unit == 0) {
            entries.push_back(entry);
            entry.clear();
        } else if (unit < 0x80) {
            entry += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
            entry += escaped;
        }
    }
    if (!entry.empty()) entries.push_back(entry);
    return entries;
}

void LayOutInstalledDriver(DWORD state) {
    standin::ServiceRecord record;
    record.name = "KTRX";
    record.displayName = "Kestrix driver";
    record.binaryPath = "C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS";
    record.loadOrderGroup = "Extended Base";
    record.serviceType = SERVICE_KERNEL_DRIVER;
    record.startType = SERVICE_AUTO_START;
    record.errorControl = SERVICE_ERROR_NORMAL;
    record.state = state;
    standin::AddService(record);
    standin::PutDword(kParameters, "VideoTimeout", 20000);
    const char files[] = "%SystemRoot%\\System32\\IOLOGMSG.DLL;%SystemRoot%\\System32\\Drivers\\KTRX.SYS";
    standin::PutValue(kSourceKey, "EventMessageFile", REG_EXPAND_SZ,
                      standin::BytesOf(std::u16string(files, files + sizeof files)));
    standin::PutDword(kSourceKey, "TypesSupported", 7);
    standin::PutMultiSz(kSystemLog, "Sources",
                        {"Application Popup", "EventLog", "Service Control Manager", "Tcpip", "System", "KTRX"});
}

void StandinTest::SetUp() {
    standin::ResetMachine();
    CurrentVideoTimeout = 20000;
    SetLastError(0);
}

void StandinTest::TearDown() {
    standin::OpenCounts open = standin::Open();
    EXPECT_EQ(open.keys, 0) << "registry keys left open";
    EXPECT_EQ(open.services, 0) << "service handles left open";
    EXPECT_EQ(open.kernelHandles, 0) << "tokens or devices left open";
    EXPECT_EQ(open.sids, 0) << "SIDs left allocated";
    EXPECT_EQ(open.localBuffers, 0) << "buffers left allocated";
    EXPECT_EQ(standin::BoxesAfterPendingOutput(), 0) << "a box came before the output ahead of it was written";
}

}  // namespace harness
