#include "fuzz/fuzz_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/invariant.h"

namespace vantrel::fuzz {

namespace {

std::string root;
int proximityReader = -1;
int lightReader = -1;

std::string rootPath(const char* relative) {
    return root + relative;
}

// A FIFO and a reader on it that never waits for a writer.
int makeFifoWithReader(const char* relative) {
    std::string path = rootPath(relative);
    FUZZ_REQUIRE(mkfifo(path.c_str(), 0600) == 0, "mkfifo %s: %s", path.c_str(), strerror(errno));
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FUZZ_REQUIRE(reader >= 0, "open %s: %s", path.c_str(), strerror(errno));
    return reader;
}

void removeRoot() {
    close(proximityReader);
    close(lightReader);
    unlink(rootPath("/data/pipeProx").c_str());
    unlink(rootPath("/data/pipeLight").c_str());
    rmdir(rootPath("/data").c_str());
    rmdir(root.c_str());
}

// Empties the FIFO: the value found, -1 when it was empty.
int32_t takeValue(int reader, const char* name) {
    int32_t values[16];
    ssize_t got = read(reader, values, sizeof values);
    if (got <= 0) return -1;  // empty: EAGAIN, or end of file between two writers
    FUZZ_REQUIRE(got == 4, "%zd bytes in %s where one value was due", got, name);
    return values[0];
}

void checkPipe(int reader, const char* name, int32_t expected) {
    int32_t found = takeValue(reader, name);
    FUZZ_REQUIRE(found == expected, "%s holds %d where %d was due (-1: nothing)", name,
                 static_cast<int>(found), static_cast<int>(expected));
}

int bigEndian16(const uint8_t* bytes) {
    return bytes[0] * 256 + bytes[1];
}

}  // namespace

void prepareFuzzRoot() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vantrel-fuzz-XXXXXX";
    FUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr, "mkdtemp: %s", strerror(errno));
    root = pattern;
    FUZZ_REQUIRE(mkdir(rootPath("/data").c_str(), 0700) == 0, "mkdir: %s", strerror(errno));
    proximityReader = makeFifoWithReader("/data/pipeProx");
    lightReader = makeFifoWithReader("/data/pipeLight");
    atexit(removeRoot);
    setenv("VANTREL_ROOT", root.c_str(), 1);
    setenv("VANTREL_LOG", "/dev/null", 1);
    setenv("VANTREL_TIME_SCALE", "0.001", 1);
}

void checkPipes(PipeValues expected) {
    checkPipe(proximityReader, "pipeProx", expected.proximity);
    checkPipe(lightReader, "pipeLight", expected.light);
}

PipeValues pipeValuesOf(const uint8_t* payload, bool forwarded) {
    PipeValues values;
    if (!forwarded) return values;
    if (payload[0] == 'M') values.proximity = bigEndian16(payload + 1) + bigEndian16(payload + 3);
    if (payload[0] == 'L') values.light = bigEndian16(payload + 1);
    return values;
}

}  // namespace vantrel::fuzz
