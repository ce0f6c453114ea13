// What the packages' install action does, from its CustomActionData alone.
#include <gtest/gtest.h>

#include "msiaction/actiondata.h"

namespace {

struct Case {
    const char* data;  // CustomActionData as the package's setter writes it
    bool byAdministratorOnly;
    InstallPlan plan;
    const char* arguments;  // the tool's, where it runs
};

TEST(PlanInstall, RunsForAnAdministratorKeepsTheTimeoutInForceAndPassesOnlyANumber) {
    const Case cases[] = {
        {"C:\\P\\DURUVUDE.EXE|1||D|H|N|", true, InstallPlan::Run, "install"},
        {"C:\\P\\DURUVUDE.EXE|1|#300|D|H|N|", true, InstallPlan::Run, "install videotimeout 300"},
        {"C:\\P\\DURUVUDE.EXE|1|300|D|H|N|", true, InstallPlan::Run, "install"},
        {"C:\\P\\DURUVUDE.EXE|1||D|H|N|5min", true, InstallPlan::BadTimeout, ""},
        // A "|" in VIDEOTIMEOUT moves no field before it.
        {"C:\\P\\DURUVUDE.EXE||#300|D|H|N|7|1", true, InstallPlan::LeaveAsIs, ""},
        {"C:\\P\\DURUVUDE.EXE|1||D|H|N|7|1", true, InstallPlan::BadTimeout, ""},
        // A repair by a user who is not an administrator: files only.
        {"C:\\P\\DURUVUDE.EXE||#300|D|H|N|", true, InstallPlan::LeaveAsIs, ""},
        {"C:\\P\\DURUVUDE.EXE||#300|D|H|N|", false, InstallPlan::Run, "install videotimeout 300"},
        {"", true, InstallPlan::LeaveAsIs, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        std::string arguments;
        EXPECT_EQ(PlanInstall(ParseActionData(c.data), c.byAdministratorOnly, &arguments), c.plan);
        if (c.plan == InstallPlan::Run) {
            EXPECT_EQ(arguments, c.arguments);
        }
    }
    const ActionData data = ParseActionData("C:\\P\\DURUVUDE.EXE|1|#300|C:\\W\\KTRX.SYS|AB12|1.0.1.0|");
    EXPECT_EQ(data.exe + "," + data.driver + "," + data.sha256 + "," + data.version,
              "C:\\P\\DURUVUDE.EXE,C:\\W\\KTRX.SYS,AB12,1.0.1.0");
}

TEST(CompareVersions, ComparesPartByPartAsNumbers) {
    EXPECT_LT(CompareVersions("1.0.0.0", "1.0.1.0"), 0);
    EXPECT_GT(CompareVersions("1.0.10.0", "1.0.9.0"), 0);
    EXPECT_EQ(CompareVersions("1.0", "1.0.0.0"), 0);
    EXPECT_GT(CompareVersions("2", "1.65535.65535.65535"), 0);
}

}  // namespace
