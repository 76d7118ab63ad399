#include "desk/daemon_root.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "common/paths.h"

extern char** environ;

namespace vantrel::desk {

namespace {

constexpr char kPropertyStore[] = "properties";  // the host's property store
constexpr char kResetLineLow[] = "0";

std::runtime_error failure(const std::string& what, int error) {
    return std::runtime_error(what + ": " + strerror(error));
}

// "/sys/class/gpio/gpio101" of "/sys/class/gpio/gpio101/value".
std::string folderOf(const char* fixedPath) {
    std::string path = fixedPath;
    return path.substr(0, path.find_last_of('/'));
}

std::string makeTemporaryFolder(const std::string& prefix) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::string name = pattern;
    if (mkdtemp(name.data()) == nullptr) throw failure("mkdtemp " + pattern, errno);
    return name;
}

void writeSmallFile(const std::string& path, const char* text) {
    std::ofstream file(path, std::ios::trunc);
    if (!file) throw failure("open " + path, errno);
    file << text;
    file.close();
    if (!file) throw failure("write " + path, errno != 0 ? errno : EIO);
}

}  // namespace

DaemonRoot::DaemonRoot(const std::string& prefix) : path_(makeTemporaryFolder(prefix)) {
    for (const std::string& folder :
         {folderOf(kPathPipeProximity), folderOf(kPathSerialPort), folderOf(kPathResetLine),
          folderOf(kPathFirmwareImage), std::string(kPropertyStore), std::string(kOwnStandIns)}) {
        std::error_code error;
        std::filesystem::create_directories(path(folder), error);
        if (error) throw failure("mkdir " + path(folder), error.value());
    }
    writeSmallFile(path(kPathResetLine), kResetLineLow);
}

DaemonRoot::~DaemonRoot() {
    if (kept_) return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error)
        fprintf(stderr, "desk: cannot remove %s: %s\n", path_.c_str(), error.message().c_str());
}

std::string DaemonRoot::path(const std::string& relative) const {
    if (!relative.empty() && relative[0] == '/') return path_ + relative;
    return path_ + "/" + relative;
}

std::string DaemonRoot::fifo(const std::string& name) const {
    return path(folderOf(kPathPipeProximity) + "/" + name);
}

void DaemonRoot::linkBoard(simboard::SimulatedBoard& board) const {
    if (!board.linkAt(path(kPathSerialPort))) throw failure("link " + path(kPathSerialPort), errno);
}

Launch DaemonRoot::launch(std::vector<std::string> argv, const DaemonSettings& settings) const {
    return {std::move(argv), daemonEnvironment(currentEnvironment(), path_, settings),
            path(kStdoutFile), path(kStderrFile), false};
}

std::vector<std::string> daemonEnvironment(const std::vector<std::string>& outer,
                                           const std::string& root,
                                           const DaemonSettings& settings) {
    std::map<std::string, std::string> env;
    for (const std::string& entry : outer) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos || entry.compare(0, 8, "VANTREL_") == 0) continue;
        env[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    std::string outerPath = env.count("PATH") ? env["PATH"] : "/usr/bin:/bin";
    env["PATH"] = root + "/" + kOwnStandIns + ":" + settings.standIns + ":" + outerPath;
    env["VANTREL_ROOT"] = root;
    env["VANTREL_LOG"] = root + "/" + kDaemonLogFile;
    env["VANTREL_TIME_SCALE"] = settings.timeScale;
    env["VANTREL_AM_LOG"] = root + "/" + kAmLogFile;
    env["VANTREL_BSLSH_ARGV_LOG"] = root + "/" + kBslshLogFile;
    for (const auto& [name, value] : settings.overrides) env[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : env) result.push_back(name + "=" + value);
    return result;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
    return entries;
}

}  // namespace vantrel::desk
