// Arbitrary command lines through the whole run, on the stand-in machine.
// Input: one byte choosing the machine (bit 0: KTRX installed, bit 1: its
// driver running), then the arguments separated by NUL bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "parameters/parameters.h"
#include "standin/machine.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::u16string> OtherSources() {
    std::vector<std::u16string> entries;
    auto value = standin::GetValue("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", "Sources");
    if (!value) return entries;
    std::u16string entry;
    for (char16_t unit : standin::UnitsOf(value->data)) {
        if (unit != 0) {
            entry += unit;
            continue;
        }
        if (entry != u"KTRX") entries.push_back(entry);
        entry.clear();
    }
    return entries;
}

void LayOut(uint8_t choice) {
    if (!(choice & 1)) return;
    standin::ServiceRecord record;
    record.name = "KTRX";
    record.displayName = "Kestrix driver";
    record.binaryPath = "C:\\WINDOWS\\system32\\DRIVERS\\KTRX.SYS";
    record.serviceType = SERVICE_KERNEL_DRIVER;
    record.startType = SERVICE_AUTO_START;
    record.state = (choice & 2) ? SERVICE_RUNNING : SERVICE_STOPPED;
    standin::AddService(record);
    standin::PutDword("SYSTEM\\CurrentControlSet\\Services\\KTRX\\Parameters", "VideoTimeout", 20000);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Progress lines are of no interest here.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 512) return 0;
    std::vector<std::string> args = {"DURUVUDE.EXE", ""};
    for (size_t i = 1; i < size && args.size() <= 9; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    if (size == 1) args.pop_back();
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());

    standin::ResetMachine();
    CurrentVideoTimeout = 20000;
    LayOut(data[0]);
    const auto sourcesBefore = OtherSources();

    int status = RunTool(static_cast<int>(argv.size()), argv.data());
    Check(status == 0 || status == -1);
    Check(standin::Open().Total() == 0);
    Check(OtherSources() == sourcesBefore);
    // A run that failed before the service manager changed nothing.
    if (standin::CallsTo("OpenSCManagerA") == 0) Check(status == -1);
    return 0;
}
