// The doctor on the panel: the daemon is init's service (kServiceName), which runs
// as user system in group system (android/vantrel.rc) with init's default
// search path for services; every vantrel process on the panel is the daemon.
#include <paths.h>

#include <string>

#include "common/paths.h"
#include "platform/platform.h"
#include "tools/doctor/doctor_platform.h"

namespace vantrel::doctor {

namespace {
constexpr uid_t kSystemUid = 1000;  // AID_SYSTEM
constexpr gid_t kSystemGid = 1000;  // AID_SYSTEM
}  // namespace

Identity daemonIdentity() {
    Identity who;
    who.uid = kSystemUid;
    who.gid = kSystemGid;
    who.groups = {kSystemGid};  // "group system" of the service
    who.name = "system (the service's user)";
    return who;
}

bool belongsToThisSetup(pid_t /*pid*/) {
    return true;
}

std::string serviceState() {
    char value[kPropertyValueMax] = {};
    platformPropertyGet(kServiceStateProperty.data(), value, "");
    return value;
}

std::string stopDaemonCommand(pid_t /*pid*/) {
    return std::string("adb shell stop ") + kServiceName;
}

std::string defaultSearchPath() {
    return _PATH_DEFPATH;  // what init gives every service
}

}  // namespace vantrel::doctor
