// Per-frame cost of the framing and the dispatch without the kernel: the
// daemon's own code reads frames from an in-memory link (testbench/memory_link).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <vector>

#include "common/daemon_state.h"
#include "link/framing.h"
#include "link/protocol.h"
#include "link/receive_loop.h"
#include "link/serial_port.h"
#include "messages/tavrix_protocol_parser.h"
#include "testbench/memory_link/memory_link.h"
#include "wire/frames.h"

namespace {

using vantrel::gState;
using vantrel::memlink::kLinkFd;

constexpr size_t kFramesPerRound = 1000;

// One round: kFramesPerRound motion frames in a row.
vantrel::wire::Bytes roundOfFrames() {
    vantrel::wire::Bytes frame = vantrel::wire::encodeStandard(vantrel::kLetterMotion, 1, 2, 3, 4);
    vantrel::wire::Bytes bytes;
    for (size_t i = 0; i < kFramesPerRound; ++i)
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    return bytes;
}

void prepareState(bool forwardMotion) {
    vantrel::resetDaemonState();
    gState.serialFd = kLinkFd;
    gState.ignoreMotion = !forwardMotion;
}

// Lead byte, readPacket and parseStandardData, as the receive loop does them.
void BM_ReadPacketAndDispatch(benchmark::State& state) {
    vantrel::wire::Bytes bytes = roundOfFrames();
    prepareState(false);
    for (auto _ : state) {
        vantrel::memlink::serve(bytes.data(), bytes.size());
        for (size_t i = 0; i < kFramesPerRound; ++i) {
            uint8_t lead;
            vantrel::readAll(kLinkFd, &lead, 1);
            vantrel::readPacket();
            benchmark::DoNotOptimize(
                vantrel::TavrixProtocolParser::parseStandardData(gState.rxBuffer));
        }
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerRound);
}
BENCHMARK(BM_ReadPacketAndDispatch);

// The whole receive loop over in-memory frames. With the motion stream
// forwarded each frame also costs the pipe's open (which fails: no FIFO).
void BM_ReceiveLoop(benchmark::State& state) {
    bool forward = state.range(0) != 0;
    vantrel::wire::Bytes bytes = roundOfFrames();
    for (auto _ : state) {
        prepareState(forward);
        vantrel::memlink::serve(bytes.data(), bytes.size());
        vantrel::readData();
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerRound);
}
BENCHMARK(BM_ReceiveLoop)->Arg(0)->Arg(1);

// The dispatch alone, on a payload already in the buffer.
void BM_DispatchMotionIgnored(benchmark::State& state) {
    prepareState(false);
    const uint8_t payload[7] = {vantrel::kLetterMotion, 1, 2, 3, 4, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(vantrel::TavrixProtocolParser::parseStandardData(payload));
    }
}
BENCHMARK(BM_DispatchMotionIgnored);

}  // namespace

int main(int argc, char** argv) {
    // Nothing of the benchmark may land in a real /data or on the terminal.
    setenv("VANTREL_ROOT", "/nonexistent-vantrel-bench-root", 1);
    setenv("VANTREL_LOG", "/dev/null", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
