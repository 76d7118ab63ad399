// The doctor on a plain Linux host: the daemon would run as the current user,
// the setup is the one under this process's VANTREL_ROOT, and no init runs it.
#include <cstdlib>
#include <string>

#include "tools/doctor/doctor.h"
#include "tools/proc/proc_table.h"

namespace vantrel::doctor {

Identity daemonIdentity() {
    Identity who = currentUser();
    who.name += " (the current user)";
    return who;
}

bool belongsToThisSetup(pid_t pid) {
    const char* ours = getenv("VANTREL_ROOT");
    std::string root = ours != nullptr ? ours : "";
    std::optional<std::string> theirs = environValue(pid, "VANTREL_ROOT");
    // Its environment unreadable (another user's process): not ours to judge.
    if (!theirs.has_value() && !environReadable(pid)) return false;
    return theirs.value_or("") == root;
}

std::string serviceState() {
    return "";
}

std::string stopDaemonCommand(pid_t pid) {
    return "kill -INT " + std::to_string(pid);
}

std::string defaultSearchPath() {
    const char* path = getenv("PATH");
    return path != nullptr ? path : "";
}

}  // namespace vantrel::doctor
