// Putting a new KTRX.SYS where the Kestrix driver is loaded from: the one
// rule that the deploy script's helper and the packages' custom actions
// share. A driver that can stop is stopped and its file replaced (the
// caller then starts it again through DURUVUDE's install); one that cannot
// gets its new file at the next restart, and until then every answer is
// "restart".
#pragma once

#include <string>

#include "platform/platform.h"
// After windows.h: CNG's hashes.
#include <bcrypt.h>

// Where each line about what was done goes (standard error, an installer's
// log).
struct Reporter {
    void (*say)(void* context, const std::string& line);
    void* context;
};

// A path under the native System32 as this process reaches it: through
// Sysnative in a 32-bit process on 64-bit Windows (the custom-action DLL of
// the Arm64 package is an x86 one), where System32 would lead to SysWOW64.
std::string ReachableFromHere(const std::string& nativePath);

// The SHA-256 of a file's bytes in upper-case hex; empty where it cannot be
// read (no file, no access).
std::string FileSha256(const std::string& path);

enum class StopResult {
    NotRunning,  // no KTRX service, or not running: nothing held the file
    Stopped,     // stopped within the wait
    CannotStop,  // still loaded: the restart is noted (RestartNoted)
};

// Stops KTRX for its file to be replaced, waiting up to 10 seconds. A
// driver that does not stop is noted in a volatile registry key, which the
// restart clears.
StopResult StopForUpdate(const Reporter& reporter);

// Whether a driver that could not be stopped for an update still runs from
// its old image: true until the next restart.
bool RestartNoted();

// A stop for an update that may be undone (an installation's rollback):
// noted in a volatile registry key, and taken back (true where there was
// one).
void NoteStoppedForUpdate();
bool TakeStoppedNote();

// Starts KTRX again after a stop whose update did not go on.
void StartAgain(const Reporter& reporter);

enum class UpdateResult {
    Same,       // target holds source's bytes already: nothing done
    Placed,     // copied over target; the driver (if it ran) is stopped
    AtRestart,  // the driver runs its old image until the next restart,
                // where target is replaced (MOVEFILE_DELAY_UNTIL_REBOOT)
    Failed,     // nothing changed (said why)
};

// The update rule for a file on disk (the script's route): source's bytes
// into target, the driver stopped first where it runs another image.
UpdateResult UpdateDriverFile(const std::string& source, const std::string& target, const Reporter& reporter);
