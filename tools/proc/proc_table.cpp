#include "tools/proc/proc_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "tools/proc/process_figures.h"

namespace vantrel::proc {

std::optional<std::string> readRegularFile(const std::string& path, size_t limit) {
    struct stat before;
    // Never open a FIFO, even for a moment: that would wake a writer waiting for a reader.
    if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    ssize_t got;
    while (text.size() < limit && (got = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

namespace {

std::vector<std::string> splitNul(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, '\0');) parts.push_back(part);
    return parts;
}

// The number after "name:" in /proc/PID/fdinfo/FD, in `base`; -1 when absent.
long fdinfoField(pid_t pid, int fd, const char* name, int base) {
    std::optional<std::string> text =
        readRegularFile(procPath(pid, "fdinfo/") + std::to_string(fd));
    if (!text) return -1;
    std::string key = std::string("\n") + name + ":";
    size_t at = ("\n" + *text).find(key);
    if (at == std::string::npos) return -1;
    return strtol(text->c_str() + at + key.size() - 1, nullptr, base);
}

void scanDescriptors(pid_t pid, ProcessTable* table) {
    std::string folder = procPath(pid, "fd");
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        if (errno != ENOENT) ++table->unreadable;  // gone meanwhile is no news
        return;
    }
    // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat info;
        if (stat((folder + "/" + entry->d_name).c_str(), &info) != 0) continue;
        int fd = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        table->files.push_back(
            OpenFile{pid, fd, info.st_dev, info.st_ino, info.st_rdev, info.st_mode & S_IFMT});
    }
    closedir(dir);
}

}  // namespace

ProcessTable scanProcesses() {
    ProcessTable table;
    for (pid_t pid : processIds()) {
        if (pid == getpid()) continue;
        table.pids.push_back(pid);
        scanDescriptors(pid, &table);
    }
    return table;
}

std::vector<std::string> commandLine(pid_t pid) {
    return splitNul(readRegularFile(procPath(pid, "cmdline")).value_or(""));
}

std::string commandName(pid_t pid) {
    std::optional<std::string> name = readFirstLine(procPath(pid, "comm"));
    return name && !name->empty() ? *name : "?";
}

std::optional<std::string> environValue(pid_t pid, const char* name) {
    std::string prefix = std::string(name) + "=";
    for (const std::string& entry :
         splitNul(readRegularFile(procPath(pid, "environ")).value_or(""))) {
        if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
    }
    return std::nullopt;
}

bool environReadable(pid_t pid) {
    return readRegularFile(procPath(pid, "environ"), 1).has_value();
}

double secondsRunning(pid_t pid) {
    constexpr size_t kStartTime = 19;  // proc(5) field 22, in clock ticks since boot
    std::vector<std::string> fields = statFields(pid);
    std::optional<std::string> uptime = readRegularFile("/proc/uptime");
    if (fields.size() <= kStartTime || !uptime) return -1;
    double started =
        strtod(fields[kStartTime].c_str(), nullptr) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return strtod(uptime->c_str(), nullptr) - started;
}

int accessMode(pid_t pid, int fd) {
    long flags = fdinfoField(pid, fd, "flags", 8);
    return flags < 0 ? -1 : static_cast<int>(flags & O_ACCMODE);
}

int ptyMasterIndex(pid_t pid, int fd) {
    return static_cast<int>(fdinfoField(pid, fd, "tty-index", 10));
}

std::optional<std::string> readFirstLine(const std::string& path) {
    std::optional<std::string> text = readRegularFile(path, 4096);
    if (!text) return std::nullopt;
    return text->substr(0, text->find('\n'));
}

}  // namespace vantrel::proc
