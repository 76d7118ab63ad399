// The receive loop's steady state allocates nothing: ten thousand mixed frames
// go through the real readData() from the in-memory link while every heap
// allocation of the process is counted. Pipe values go to real FIFOs and
// broadcasts run the shell (whose allocations are the child's, not ours).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/daemon_state.h"
#include "link/receive_loop.h"
#include "testbench/memory_link/memory_link.h"
#include "tests/unit/unit_fixture.h"
#include "tools/fifo/fifo_reader.h"

// Defined here, these take the place of the C library's allocators for every
// caller in the process (operator new included); free() stays the library's.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
volatile long allocations = -1;  // counting when 0 or more
static void* counted(void* block) {
    if (allocations >= 0) allocations = allocations + 1;
    return block;
}
void* malloc(size_t size) {
    return counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) {
    return counted(__libc_calloc(count, size));
}
void* realloc(void* block, size_t size) {
    return counted(__libc_realloc(block, size));
}
}

namespace vantrel::test {
namespace {

using ReceiveLoopAllocations = DaemonTest;

// 200 rounds of 50 frames: 20 motion, 14 light, 8 board log lines, a version
// and an NFC tap (or two ACKs), three stray bytes, two bad checksums, an ACK
// and two unknown messages.
TEST_F(ReceiveLoopAllocations, TenThousandMixedFramesAllocateNothing) {
    Bytes board;
    auto add = [&board](const Bytes& bytes) {
        board.insert(board.end(), bytes.begin(), bytes.end());
    };
    std::vector<int32_t> due[2];  // pipeProx, pipeLight
    for (int round = 0; round < 200; ++round) {
        for (uint8_t i = 0; i < 20; ++i) {
            add(standard({'M', static_cast<uint8_t>(round), i, 0xFF, 0xF0}));
            due[0].push_back(round * 256 + i + 0xFFF0);
        }
        for (uint8_t i = 0; i < 14; ++i) {
            add(standard({'L', 0, i, 1, 2}));
            due[1].push_back(i);
        }
        for (int i = 0; i < 8; ++i) add(extended({1, 'l', 'i', 'n', 'e'}));
        bool broadcasts = round % 10 == 0;
        add(broadcasts ? standard({'I', 1, 6, 25}) + extended({7, 4, 1, 2, 0xA1, 0x5C})
                       : standard({'A'}) + standard({'A', 1}));
        add({0x00, 0x7F, 0xFE, 'U', 'M', 1, 2, 3, 4, 0, 0, 'Z', 0, 1, 1, 0});
        add(standard({'A'}) + standard({'B'}) + extended({3}));
    }
    writeFile("/bin/am", "#!/bin/sh\necho >> '" + rootPath("/am.calls") + "'\n");
    ASSERT_EQ(chmod(rootPath("/bin/am").c_str(), 0755), 0);
    setenv("PATH", (rootPath("/bin") + ":/usr/bin:/bin").c_str(), 1);
    makeDirectory("/data");
    fifo::FifoReader readers[2];
    for (int i = 0; i < 2; ++i) {
        std::string path = rootPath(i == 0 ? "/data/pipeProx" : "/data/pipeLight");
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        std::string error;
        ASSERT_TRUE(readers[i].open(path, &error)) << error;
    }
    gState.serialFd = memlink::kLinkFd;
    gState.ignoreMotion = gState.ignoreLight = false;
    StderrCapture strayBytes(rootPath("/stderr.txt"));

    allocations = 0;
    void* volatile block = malloc(16);  // volatile: the pair may not be left out
    long probe = allocations;
    free(block);
    allocations = 0;
    memlink::serve(board.data(), board.size());
    int result = readData();
    long counted = allocations;
    allocations = -1;
    strayBytes.finish();

    EXPECT_EQ(probe, 1) << "the counter does not see malloc";
    EXPECT_EQ(counted, 0) << "heap allocations in the receive loop";
    // The frames were really handled, not skipped.
    EXPECT_EQ(result, 1);
    EXPECT_EQ(memlink::left(), 0u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(readers[i].readValues(), due[i]) << (i == 0 ? "pipeProx" : "pipeLight");
    }
    EXPECT_EQ(splitLines(readFile("/am.calls")).size(), 40u) << "version and NFC broadcasts";
}

}  // namespace
}  // namespace vantrel::test
