#include "desk/desk_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "daemon/run.h"

namespace vantrel::desk {

namespace {

using Clock = std::chrono::steady_clock;

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

bool fileHolds(const std::string& path, const std::string& text) {
    std::ifstream file(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return content.find(text) != std::string::npos;
}

// execve() takes char* for historical reasons; it changes none of them.
std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// The child's standard input, output and error, closed here once it has them.
struct StartFiles {
    int in = -1;
    int out = -1;
    int err = -1;

    ~StartFiles() {
        for (int fd : {in, out, err}) {
            if (fd >= 0) close(fd);
        }
    }
    bool open(const Launch& launch, std::string* error) {
        return openOne("/dev/null", O_RDONLY, &in, error) &&
               openOne(launch.stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, &out, error) &&
               openOne(launch.stderrPath, O_WRONLY | O_CREAT | O_TRUNC, &err, error);
    }
    static bool openOne(const std::string& path, int flags, int* fd, std::string* error) {
        *fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        if (*fd < 0) *error = "open " + path + ": " + strerror(errno);
        return *fd >= 0;
    }
};

// In the child: says which step failed on the error file it has by then,
// and ends with the status a shell gives a program it cannot run.
[[noreturn]] void failInChild(const char* step) {
    (void)!write(STDERR_FILENO, "desk: ", 6);
    (void)!write(STDERR_FILENO, step, strlen(step));
    (void)!write(STDERR_FILENO, " failed\n", 8);
    _exit(127);
}

// In the child, between fork and exec: async-signal-safe calls only, since
// the desk program's other threads (a simulated board's) run on.
[[noreturn]] void becomeProgram(const StartFiles& files, bool ownGroup, char** argv, char** envp) {
    if (dup2(files.err, STDERR_FILENO) < 0) _exit(127);
    if (ownGroup && setpgid(0, 0) != 0) failInChild("setpgid");
    if (dup2(files.in, STDIN_FILENO) < 0 || dup2(files.out, STDOUT_FILENO) < 0) failInChild("dup2");
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) failInChild("sigprocmask");
    if (::signal(SIGINT, SIG_DFL) == SIG_ERR || ::signal(SIGPIPE, SIG_DFL) == SIG_ERR) {
        failInChild("signal");
    }
    execve(argv[0], argv, envp);
    failInChild("exec");
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, Millis timeout, Millis poll) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(poll);
    }
}

DeskProcess::~DeskProcess() {
    if (running()) kill();
}

bool DeskProcess::start(const Launch& launch, std::string* error) {
    std::vector<char*> argv = pointersTo(launch.argv);
    std::vector<char*> envp = pointersTo(launch.environment);
    StartFiles files;
    if (!files.open(launch, error)) return false;
    pid_t child = fork();
    if (child == 0) becomeProgram(files, launch.ownGroup, argv.data(), envp.data());
    if (child < 0) {
        *error = std::string("fork: ") + strerror(errno);
        return false;
    }
    // Also here, so that the group exists before any kill; once the child has
    // made it and gone on to exec, this one fails, and that is fine.
    if (launch.ownGroup) setpgid(child, child);
    pid_ = child;
    ownGroup_ = launch.ownGroup;
    exitStatus_.reset();
    return true;
}

bool DeskProcess::running() {
    if (pid_ < 0) return false;
    int status = 0;
    pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended == 0) return true;
    exitStatus_ = ended == pid_ ? statusOf(status) : -1;  // -1: lost to another wait
    pid_ = -1;
    return false;
}

bool DeskProcess::signal(int number) {
    return running() && ::kill(pid_, number) == 0;
}

std::optional<int> DeskProcess::waitForExit(Millis timeout) {
    if (!waitUntil([&]() { return !running(); }, timeout, Millis(5))) return std::nullopt;
    return exitStatus_;
}

void DeskProcess::kill() {
    if (pid_ < 0) return;
    if (ownGroup_) ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) exitStatus_ = statusOf(status);
    pid_ = -1;
}

std::optional<int> DeskProcess::end(int number, Millis timeout) {
    signal(number);
    std::optional<int> status = waitForExit(timeout);
    if (!status) kill();
    return status;
}

bool waitForText(DeskProcess& process, const std::string& path, const std::string& text,
                 Millis timeout) {
    waitUntil([&]() { return fileHolds(path, text) || !process.running(); }, timeout, Millis(20));
    return fileHolds(path, text);
}

bool startToReceivePhase(DeskProcess& daemon, const Launch& launch, Millis timeout,
                         std::string* error) {
    std::string why;
    if (!daemon.start(launch, &why)) {
        *error = "cannot start " + launch.argv[0] + ": " + why;
        return false;
    }
    return waitForText(daemon, launch.stdoutPath, kReceiveBanner, timeout);
}

}  // namespace vantrel::desk
