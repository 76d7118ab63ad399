// The receive loop's steady state allocates nothing: ten thousand mixed frames
// go through the real readData() from an in-memory link (bench/memory_link.h)
// while every heap allocation of the process is counted. The broadcasts
// really run the shell and the `am` stand-in; their allocations happen in the
// forked child and are not the daemon's.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/memory_link.h"
#include "common/daemon_state.h"
#include "link/receive_loop.h"
#include "tests/memory/allocation_counter.h"
#include "tests/unit/board_frames.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kCycles = 200;  // 50 frames each

// What the board sends in the test, and what must come out of it.
struct BoardOutput {
    Bytes bytes;
    std::vector<int32_t> proximity;  // values due in pipeProx, in order
    std::vector<int32_t> light;      // values due in pipeLight, in order
    size_t frames = 0;
    size_t broadcasts = 0;     // version messages and NFC taps
    size_t boardLogLines = 0;  // extended command 1
    size_t badChecksums = 0;   // standard and extended
    size_t strayBytes = 0;     // neither 'U' nor 'Z'
};

void append(BoardOutput& out, const Bytes& frame) {
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    ++out.frames;
}

void appendMotion(BoardOutput& out, int i) {
    uint16_t ps1 = static_cast<uint16_t>(i * 7);
    uint16_t ps2 = static_cast<uint16_t>(0xFFFF - i);
    append(out, standardFrame({'M', static_cast<uint8_t>(ps1 >> 8), static_cast<uint8_t>(ps1),
                               static_cast<uint8_t>(ps2 >> 8), static_cast<uint8_t>(ps2)}));
    out.proximity.push_back(ps1 + ps2);
}

void appendLight(BoardOutput& out, int i) {
    uint16_t vis = static_cast<uint16_t>(i * 13);
    append(out,
           standardFrame({'L', static_cast<uint8_t>(vis >> 8), static_cast<uint8_t>(vis), 1, 2}));
    out.light.push_back(vis);
}

void appendBoardLog(BoardOutput& out, int i) {
    std::string text = "board line " + std::to_string(i);
    Bytes payload = {1};
    payload.insert(payload.end(), text.begin(), text.end());
    append(out, extendedFrame(payload));
    ++out.boardLogLines;
}

void appendBroadcasts(BoardOutput& out, int cycle) {
    append(out, versionFrame(1, 6, static_cast<uint8_t>(cycle)));
    append(out, extendedFrame({7, 4, 1, 4, 0x04, 0xA1, 0x5C, static_cast<uint8_t>(cycle)}));
    out.broadcasts += 2;
}

void appendBroken(BoardOutput& out) {
    append(out, {0x00, 0x7F, 0xFE});  // three stray bytes
    out.strayBytes += 3;
    Bytes badStandard = standardFrame({'M', 1, 2, 3, 4});
    badStandard.back() ^= 0x01;
    append(out, badStandard);
    Bytes badExtended = extendedFrame({1, 'x'});
    badExtended.back() ^= 0x01;
    append(out, badExtended);
    out.badChecksums += 2;
}

// One cycle: 20 motion, 14 light, 8 board log lines, a version message, an
// NFC tap, 3 stray bytes (one frame's worth of garbage each), 2 + 1 frames
// with bad checksums... 50 frames.
BoardOutput mixedFrames() {
    BoardOutput out;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        for (int i = 0; i < 20; ++i) appendMotion(out, cycle * 20 + i);
        for (int i = 0; i < 14; ++i) appendLight(out, cycle * 14 + i);
        for (int i = 0; i < 8; ++i) appendBoardLog(out, cycle * 8 + i);
        appendBroadcasts(out, cycle);
        appendBroken(out);
        append(out, standardFrame({'A'}));
        append(out, standardFrame({'B'}));  // unknown letter
        append(out, extendedFrame({3}));    // unknown command
    }
    return out;
}

class ReceiveLoopAllocations : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        gState.serialFd = bench::kMemoryLinkFd;
        gState.ignoreMotion = false;
        gState.ignoreLight = false;
    }
};

TEST_F(ReceiveLoopAllocations, CounterSeesMallocCallocReallocAndNew) {
    startCountingAllocations();
    void* volatile block = malloc(16);
    void* volatile zeroed = calloc(4, 4);
    block = realloc(block, 4096);
    std::string* volatile text = new std::string(100, 'x');
    long counted = stopCountingAllocations();
    delete text;
    free(zeroed);
    free(block);
    // new std::string: the object and its characters.
    EXPECT_GE(counted, 5);
}

TEST_F(ReceiveLoopAllocations, TenThousandMixedFramesAllocateNothing) {
    FifoReader proximity(rootPath("/data/pipeProx"));
    FifoReader light(rootPath("/data/pipeLight"));
    BoardOutput board = mixedFrames();
    ASSERT_EQ(board.frames, 10000u);
    StderrCapture stderrText(rootPath("/stderr.txt"));

    bench::setMemoryLink(board.bytes.data(), board.bytes.size());
    startCountingAllocations();
    int result = readData();
    long allocations = stopCountingAllocations();
    std::string stray = stderrText.finish();

    EXPECT_EQ(allocations, 0) << "heap allocations in the receive loop";
    // The frames were really handled, not skipped.
    EXPECT_EQ(result, 1);
    EXPECT_EQ(proximity.values(), board.proximity);
    EXPECT_EQ(light.values(), board.light);
    EXPECT_EQ(amCalls().size(), board.broadcasts);
    std::vector<std::string> log = logLines();
    auto linesWith = [&log](const std::string& text) {
        size_t count = 0;
        for (const std::string& line : log) count += line.find(text) != std::string::npos;
        return count;
    };
    EXPECT_EQ(linesWith("TavrixLog: [board line "), board.boardLogLines);
    EXPECT_EQ(linesWith("checksum failure"), board.badChecksums);
    EXPECT_EQ(splitLines(stray).size(), board.strayBytes);
}

}  // namespace
}  // namespace vantrel::test
