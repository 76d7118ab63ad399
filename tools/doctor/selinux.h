// The daemon's SELinux labels and how to read what the kernel says about
// them. The labels are the ones android/sepolicy gives the daemon and its
// files; the parsers work on text, so they are tested on recorded lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/doctor/doctor.h"

namespace vantrel::doctor {

constexpr char kDaemonDomain[] = "vantrel";
constexpr char kTtyType[] = "vantrel_tty_device";
constexpr char kResetLineType[] = "sysfs_vantrel_gpio";
// Every type of the daemon's policy: a denial naming one of them is ours.
constexpr const char* kPolicyTypes[] = {
    kDaemonDomain,        "vantrel_exec",         kTtyType,
    kResetLineType,       "vantrel_pipe_file",    "vantrel_firmware_file",
    "vantrel_bslsh_exec", "vantrel_version_prop", "vantrel_config_prop",
};

// The type of a security context ("u:r:vantrel:s0" gives "vantrel"); a
// trailing zero byte or line feed, as /proc/PID/attr/current has, is
// ignored. "" when the text is not a context.
std::string contextType(const std::string& context);

// One line per denial in `kernelLog` whose source or target is a type of the
// daemon's policy: "vantrel -> device chr_file { read write } ttymxc1".
std::vector<std::string> daemonDenials(const std::string& kernelLog);

// The node's label (its security.selinux attribute), "" when it has none.
std::string fileLabel(const std::string& path);

CheckResult checkSelinux(const Survey& survey);

}  // namespace vantrel::doctor
