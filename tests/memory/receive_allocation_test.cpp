// The receive loop's steady state allocates nothing: ten thousand mixed frames
// go through the real readData() from the in-memory link while every heap
// allocation of the process is counted. Pipe values are written to real FIFOs
// and broadcasts run the shell (whose allocations are the child's, not ours).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "link/receive_loop.h"
#include "tests/unit/unit_fixture.h"
#include "tools/memory_link/memory_link.h"

// malloc & co. defined here take the place of the C library's for every caller
// in the process (operator new included); each forwards to glibc's allocator.
// free() stays the C library's own.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

volatile long allocations = -1;  // counting when 0 or more

static void count() {
    if (allocations >= 0) allocations = allocations + 1;
}
void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}
void* calloc(size_t number, size_t size) {
    count();
    return __libc_calloc(number, size);
}
void* realloc(void* block, size_t size) {
    count();
    return __libc_realloc(block, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
}

namespace vantrel::test {
namespace {

Bytes frame(uint8_t lead, const Bytes& payload) {
    unsigned sum = 0;
    for (uint8_t byte : payload) sum += byte;
    Bytes length;
    if (lead == 'Z')
        length = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    return Bytes{lead} + length + payload + Bytes{static_cast<uint8_t>(sum)};
}

using ReceiveLoopAllocations = DaemonTest;

// 200 rounds of 50 frames: 20 motion, 14 light, 8 board log lines, a version
// and an NFC tap (or two ACKs), three stray bytes, two bad checksums, an ACK
// and two unknown messages.
TEST_F(ReceiveLoopAllocations, TenThousandMixedFramesAllocateNothing) {
    Bytes board;
    std::vector<int32_t> proximity, light;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 20; ++i) {
            board = board + frame('U', {'M', static_cast<uint8_t>(round), static_cast<uint8_t>(i),
                                        0xFF, 0xF0, 0});
            proximity.push_back(round * 256 + i + 0xFFF0);
        }
        for (int i = 0; i < 14; ++i) {
            board = board + frame('U', {'L', 0, static_cast<uint8_t>(i), 1, 2, 0});
            light.push_back(i);
        }
        for (int i = 0; i < 8; ++i) board = board + frame('Z', {1, 'l', 'i', 'n', 'e'});
        // Every tenth round a version and an NFC tap, else two ACKs.
        board = board +
                (round % 10 == 0
                     ? frame('U', {'I', 1, 6, static_cast<uint8_t>(round), 0, 0}) +
                           frame('Z', {7, 4, 1, 2, 0xA1, static_cast<uint8_t>(round)})
                     : frame('U', {'A', 0, 0, 0, 0, 0}) + frame('U', {'A', 1, 0, 0, 0, 0})) +
                Bytes{0x00, 0x7F, 0xFE} + Bytes{'U', 'M', 1, 2, 3, 4, 0, 0} +
                Bytes{'Z', 0, 1, 1, 0} + frame('U', {'A', 0, 0, 0, 0, 0}) +
                frame('U', {'B', 0, 0, 0, 0, 0}) + frame('Z', {3});
    }
    writeFile("/bin/am", "#!/bin/sh\necho >> '" + rootPath("/am.calls") + "'\n");
    ASSERT_EQ(chmod(rootPath("/bin/am").c_str(), 0755), 0);
    setenv("PATH", (rootPath("/bin") + ":/usr/bin:/bin").c_str(), 1);
    makeDirectory("/data");
    int readers[2];
    for (int i = 0; i < 2; ++i) {
        std::string path = rootPath(i == 0 ? "/data/pipeProx" : "/data/pipeLight");
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        readers[i] = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(readers[i], 0);
        fcntl(readers[i], F_SETPIPE_SZ, 1 << 20);
    }
    gState.serialFd = memlink::kLinkFd;
    gState.ignoreMotion = gState.ignoreLight = false;
    StderrCapture strayBytes(rootPath("/stderr.txt"));

    allocations = 0;
    void* volatile probe = malloc(16);
    long counted = allocations;
    free(probe);
    allocations = 0;
    memlink::serve(board.data(), board.size());
    int result = readData();
    long loopAllocations = allocations;
    allocations = -1;
    strayBytes.finish();

    EXPECT_EQ(counted, 1) << "the counter does not see malloc";
    EXPECT_EQ(loopAllocations, 0) << "heap allocations in the receive loop";
    // The frames were really handled, not skipped.
    EXPECT_EQ(result, 1);
    EXPECT_EQ(memlink::left(), 0u);
    for (int i = 0; i < 2; ++i) {
        std::vector<int32_t> values((i == 0 ? proximity : light).size() + 1);
        ssize_t got = read(readers[i], values.data(), values.size() * sizeof(int32_t));
        values.resize(got > 0 ? static_cast<size_t>(got) / sizeof(int32_t) : 0);
        EXPECT_EQ(values, i == 0 ? proximity : light) << (i == 0 ? "pipeProx" : "pipeLight");
        close(readers[i]);
    }
    EXPECT_EQ(splitLines(readFile("/am.calls")).size(), 40u) << "version and NFC broadcasts";
}

}  // namespace
}  // namespace vantrel::test
