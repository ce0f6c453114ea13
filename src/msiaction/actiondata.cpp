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
    std::string* const order[] = {&fields.exe, &fields.adminUser, &fields.current, &fields.videoTimeout};
    size_t field = 0;
    for (char c : data) {
        if (c == '|' && field < 3)
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
