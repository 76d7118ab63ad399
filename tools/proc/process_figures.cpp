#include "tools/proc/process_figures.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/proc/proc_table.h"

namespace vantrel::proc {

namespace {

constexpr size_t kState = 0;    // proc(5) field 3
constexpr size_t kParent = 1;   // field 4
constexpr size_t kUser = 11;    // field 14, utime
constexpr size_t kSystem = 12;  // field 15, stime

}  // namespace

std::string procPath(pid_t pid, const char* file) {
    return "/proc/" + std::to_string(pid) + "/" + file;
}

std::vector<pid_t> processIds() {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return pids;
}

std::vector<std::string> statFields(pid_t pid) {
    std::string text = readRegularFile(procPath(pid, "stat")).value_or("");
    std::vector<std::string> fields;
    size_t end = text.rfind(')');
    if (end == std::string::npos || end + 2 > text.size()) return fields;
    std::istringstream rest(text.substr(end + 2));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

long cpuTicks(pid_t pid) {
    std::vector<std::string> fields = statFields(pid);
    if (fields.size() <= kSystem) return -1;
    return std::stol(fields[kUser]) + std::stol(fields[kSystem]);
}

double cpuSeconds(pid_t pid) {
    long ticks = cpuTicks(pid);
    return ticks < 0 ? -1.0
                     : static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long statusField(pid_t pid, const char* name) {
    std::ifstream status(procPath(pid, "status"));
    size_t length = strlen(name);
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
            return std::stol(line.substr(length + 1));
        }
    }
    return -1;
}

int openDescriptors(pid_t pid) {
    DIR* folder = opendir(procPath(pid, "fd").c_str());
    if (folder == nullptr) return -1;
    int count = 0;
    // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
    while (dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(folder);
    return count;
}

std::vector<Child> children(pid_t pid) {
    std::vector<Child> found;
    for (pid_t candidate : processIds()) {
        std::vector<std::string> fields = statFields(candidate);
        if (fields.size() > kParent && std::stol(fields[kParent]) == pid) {
            found.push_back(Child{candidate, fields[kState][0]});
        }
    }
    return found;
}

}  // namespace vantrel::proc
