#include "msiaction/actiondata.h"

namespace {

// A decimal number, optionally signed: all a VIDEOTIMEOUT may hold, so that
// nothing else reaches the tool's command line.
bool IsDecimal(const std::string& text) {
    size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (at == text.size()) return false;
    for (; at < text.size(); ++at)
        if (text[at] < '0' || text[at] > '9') return false;
    return true;
}

}  // namespace

ActionData ParseActionData(const std::string& data) {
    ActionData fields;
    std::string* const order[] = {&fields.exe,    &fields.adminUser, &fields.current,     &fields.driver,
                                  &fields.sha256, &fields.version,   &fields.videoTimeout};
    constexpr size_t kLast = sizeof order / sizeof order[0] - 1;
    size_t field = 0;
    for (char c : data) {
        if (c == '|' && field < kLast)
            ++field;
        else
            *order[field] += c;
    }
    return fields;
}

InstallPlan PlanInstall(const ActionData& data, bool byAdministratorOnly, std::string* arguments) {
    if (byAdministratorOnly && data.adminUser.empty()) return InstallPlan::LeaveAsIs;
    *arguments = "install";
    if (!data.videoTimeout.empty()) {
        if (!IsDecimal(data.videoTimeout)) return InstallPlan::BadTimeout;
        *arguments += " videotimeout " + data.videoTimeout;
    } else if (data.current.size() > 1 && data.current[0] == '#' && IsDecimal(data.current.substr(1))) {
        *arguments += " videotimeout " + data.current.substr(1);
    }
    return InstallPlan::Run;
}

namespace {

// The next dot-separated part of a version from at, as a number.
unsigned long NextPart(const std::string& text, size_t& at) {
    unsigned long value = 0;
    for (; at < text.size() && text[at] != '.'; ++at)
        if (text[at] >= '0' && text[at] <= '9') value = value * 10 + static_cast<unsigned long>(text[at] - '0');
    if (at < text.size()) ++at;
    return value;
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
    size_t atA = 0, atB = 0;
    for (int part = 0; part < 4; ++part) {
        const unsigned long left = NextPart(a, atA), right = NextPart(b, atB);
        if (left != right) return left < right ? -1 : 1;
    }
    return 0;
}
