#include <sys/klog.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "common/paths.h"
#include "tools/doctor/selinux.h"

namespace vantrel::doctor {

namespace {

constexpr char kEnforceFile[] = "/sys/fs/selinux/enforce";
constexpr int kKlogReadAll = 3;      // SYSLOG_ACTION_READ_ALL: reads, leaves the log as it is
constexpr int kKlogBufferSize = 10;  // SYSLOG_ACTION_SIZE_BUFFER
constexpr size_t kDenialsShown = 3;

// The value of `key=` in an audit record (quotes dropped), "" when absent.
std::string auditField(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    if (at < line.size() && line[at] == '"') {
        size_t end = line.find('"', at + 1);
        return line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    }
    return line.substr(at, line.find(' ', at) - at);
}

bool isPolicyType(const std::string& type) {
    return std::find(std::begin(kPolicyTypes), std::end(kPolicyTypes), type) !=
           std::end(kPolicyTypes);
}

std::string readKernelLog() {
    int size = klogctl(kKlogBufferSize, nullptr, 0);
    if (size <= 0) return "";
    std::string text(static_cast<size_t>(size), '\0');
    int got = klogctl(kKlogReadAll, text.data(), size);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

// Compares the label of `path` with the type the policy gives it; adds what
// it saw to `detail`; false on a mismatch.
bool labelMatches(const std::string& what, const std::string& label, const char* expected,
                  std::string* detail) {
    std::string type = contextType(label);
    *detail += "; " + what + " " + (label.empty() ? "unlabelled" : quoted(label));
    if (type == expected) return true;
    *detail += std::string(" (the policy gives ") + expected + ")";
    return false;
}

}  // namespace

std::string contextType(const std::string& context) {
    std::string text = context.substr(0, context.find_first_of(std::string("\n\0", 2)));
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return "";
    size_t third = text.find(':', second + 1);
    return text.substr(second + 1, third == std::string::npos ? third : third - second - 1);
}

std::vector<std::string> daemonDenials(const std::string& kernelLog) {
    std::vector<std::string> found;
    std::istringstream lines(kernelLog);
    for (std::string line; std::getline(lines, line);) {
        // "avc: denied { read write } for ... scontext=... tcontext=... tclass=..."
        size_t avc = line.find("avc:");
        if (avc == std::string::npos) continue;
        size_t open = line.find('{', avc);
        size_t close = line.find('}', avc);
        size_t denied = line.find("denied", avc);
        if (open == std::string::npos || close == std::string::npos || close < open ||
            denied > open) {
            continue;
        }
        std::string permissions;
        std::istringstream words(line.substr(open + 1, close - open - 1));
        for (std::string word; words >> word;)
            permissions += (permissions.empty() ? "" : " ") + word;
        std::string rest = line.substr(close);
        std::string source = contextType(auditField(rest, "scontext"));
        std::string target = contextType(auditField(rest, "tcontext"));
        if (source.empty() || target.empty() || !(isPolicyType(source) || isPolicyType(target)))
            continue;
        std::string name = auditField(rest, "name");
        std::string denial = source;
        denial.append(" -> ").append(target).append(" ").append(auditField(rest, "tclass"));
        denial.append(" { ").append(permissions).append(" }");
        if (!name.empty()) denial.append(" ").append(quoted(name));
        found.push_back(denial);
    }
    return found;
}

std::string fileLabel(const std::string& path) {
    char label[256];
    ssize_t length = getxattr(path.c_str(), "security.selinux", label, sizeof label - 1);
    if (length <= 0) return "";
    label[length] = '\0';
    return label;  // stops at the attribute's own terminating zero
}

namespace {

// The running daemon's domain and the labels of its device and reset line
// against the policy's; false when one differs. Each is named in `detail`.
bool labelsAsThePolicySays(const Survey& survey, std::string* detail) {
    bool right = true;
    for (const DaemonProcess& daemon : survey.daemons) {
        std::string attr =
            readRegularFile("/proc/" + std::to_string(daemon.pid) + "/attr/current").value_or("");
        right &= labelMatches("pid " + std::to_string(daemon.pid) + " runs as",
                              attr.substr(0, attr.find('\0')), kDaemonDomain, detail);
    }
    for (const auto& [path, type] : {std::pair<std::string, const char*>{survey.device, kTtyType},
                                     {resolved(kPathResetLine), kResetLineType}}) {
        if (access(path.c_str(), F_OK) == 0)
            right &= labelMatches(path, fileLabel(path), type, detail);
    }
    return right;
}

// The kernel log's denials of the daemon, the latest few named in `detail`.
std::vector<std::string> denialsInKernelLog(std::string* detail) {
    std::string log = readKernelLog();
    std::vector<std::string> denials = daemonDenials(log);
    if (log.empty()) {
        *detail += "; kernel log not readable (run as root for AVC denials)";
    } else if (denials.empty()) {
        *detail += "; no AVC denials of the daemon in the kernel log";
    } else {
        *detail += "; " + std::to_string(denials.size()) + " AVC denials, latest:";
        size_t from = denials.size() > kDenialsShown ? denials.size() - kDenialsShown : 0;
        for (size_t i = from; i < denials.size(); ++i) *detail += " [" + denials[i] + "]";
    }
    return denials;
}

}  // namespace

CheckResult checkSelinux(const Survey& survey) {
    std::optional<std::string> enforce = readFirstLine(kEnforceFile);
    if (!enforce) {
        return CheckResult{"selinux", Verdict::Skip,
                           "no SELinux on this system (no " + std::string(kEnforceFile) + ")", ""};
    }
    bool enforcing = *enforce == "1";
    CheckResult result{"selinux", Verdict::Ok, enforcing ? "enforcing" : "permissive", ""};
    bool labelsRight = labelsAsThePolicySays(survey, &result.detail);
    std::vector<std::string> denials = denialsInKernelLog(&result.detail);
    std::string nodes = std::string(kPathSerialPort) + " " + kPathResetLine;
    if (!labelsRight) {
        worsen(&result, Verdict::Fail,
               advice("correct file_contexts/genfs_contexts in android/sepolicy and relabel; the "
                      "daemon must run from /vendor/bin/vantrel (vantrel_exec)",
                      "adb shell ls -lZ " + nodes + "; adb shell restorecon " + nodes));
    } else if (!denials.empty()) {
        worsen(&result, enforcing ? Verdict::Fail : Verdict::Warn,
               advice("allow what is denied in android/sepolicy/vantrel.te, or fix the label the "
                      "denial names",
                      "adb shell dmesg | grep 'avc: denied'"));
    }
    return result;
}

}  // namespace vantrel::doctor
