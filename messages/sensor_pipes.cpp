#include "messages/sensor_pipes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/log.h"
#include "common/signals.h"
#include "platform/platform.h"

namespace vantrel {

int openPipe(const char* path) {
    umask(0);
    if (mknod(path, S_IFIFO | 0666, 0) == 0) {
        logDebug("openPipe Fifo [%s] created successfully.\n", path);
        return 0;
    }
    if (errno == EEXIST) {
        logDebug("Pipe [%s] already exists.\n", path);
        return 0;
    }
    int error = errno;
    logError("Error creating pipe [%s]: errno=0x%08x (%s)\n", path, static_cast<unsigned>(error),
             strerror(error));
    return -1;
}

const char* pipePath(PipeIndex index, char* buffer, unsigned size) {
    return resolvePath(kPipePaths[index], buffer, size);
}

void writePipe(PipeIndex index, int32_t value) {
    char buffer[PATH_MAX];
    int fd = open(pipePath(index, buffer, sizeof buffer), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;
    // A reader that left after the open makes the write fail with EPIPE; the
    // SIGPIPE that comes with it is pending (blocked) and is taken back here.
    if (write(fd, &value, sizeof value) < 0 && errno == EPIPE) consumePendingSigpipe();
    close(fd);
}

}  // namespace vantrel
