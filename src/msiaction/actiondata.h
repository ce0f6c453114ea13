// What a custom action of the Windows Installer packages does, decided from
// its CustomActionData alone:
// "EXE|ADMINUSER|CURRENT|DRIVER|SHA256|VERSION|VIDEOTIMEOUT", the installed
// tool's path, the AdminUser property ("1" where the user who started the
// installation is an administrator), the VideoTimeout in force as the
// registry search found it ("#N" for a DWORD, empty where there is none),
// where the package puts KTRX.SYS, the SHA-256 and the version of the
// package's KTRX.SYS and, last, the VIDEOTIMEOUT property as given:
// whatever it holds, a "|" included, it cannot move the fields before it.
#pragma once

#include <string>

struct ActionData {
    std::string exe, adminUser, current, driver, sha256, version, videoTimeout;
};

ActionData ParseActionData(const std::string& data);

enum class InstallPlan {
    Run,         // run the tool with the arguments
    LeaveAsIs,   // a user who is not an administrator: files only
    BadTimeout,  // VIDEOTIMEOUT is no decimal number: fail
};

// "install", keeping the VideoTimeout in force unless one is given. A repair
// started by a user who is not an administrator (Windows Installer runs its
// deferred actions as LocalSystem all the same) neither reconfigures nor
// restarts the driver.
InstallPlan PlanInstall(const ActionData& data, bool byAdministratorOnly, std::string* arguments);

// Compares two file versions "a.b.c.d" (fewer parts count as zeros): below
// zero where a is older than b, zero where they are equal, above zero where
// a is newer. A part that is no number counts as zero.
int CompareVersions(const std::string& a, const std::string& b);
