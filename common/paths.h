// The daemon's fixed names, each written once: every fixed path, the system
// properties it reads and writes, and the names of its program, its service
// and its loader tool. On a host the paths are put under VANTREL_ROOT by
// resolvePath() (platform/platform.h).
#pragma once

#include <array>
#include <cstddef>

#include "platform/platform.h"

namespace vantrel {

// ---- paths
constexpr char kPathSerialPort[] = "/dev/ttymxc1";
constexpr char kPathResetLine[] = "/sys/class/gpio/gpio101/value";
constexpr char kPathFirmwareImage[] = "/vendor/.sensor/sensor.hex";
// The sensor FIFOs; the pipe table (common/pipe_table.h) indexes them.
constexpr char kPathPipeProximity[] = "/data/pipeProx";
constexpr char kPathPipeLight[] = "/data/pipeLight";
constexpr char kPathPipeNfc[] = "/data/pipeNfc";  // never created or written
// The service's init file as the panel installs it (android/vantrel.rc).
// The daemon never reads it; its tools do, to know its options while it is
// stopped.
constexpr char kPathInitFile[] = "/vendor/etc/init/vantrel.rc";

static_assert(sizeof kPathSerialPort <= kFixedPathMax && sizeof kPathResetLine <= kFixedPathMax &&
                  sizeof kPathFirmwareImage <= kFixedPathMax &&
                  sizeof kPathPipeProximity <= kFixedPathMax &&
                  sizeof kPathPipeLight <= kFixedPathMax && sizeof kPathPipeNfc <= kFixedPathMax &&
                  sizeof kPathInitFile <= kFixedPathMax,
              "a fixed path outgrew the room a host keeps after VANTREL_ROOT");

// ---- system properties
// The settings read where no option decides.
constexpr char kLedProperty[] = "com.zyn.vantrel.led";
constexpr char kNfcProperty[] = "com.zyn.vantrel.nfc";
constexpr char kMotionProperty[] = "com.zyn.vantrel.motion";
constexpr char kLightProperty[] = "com.zyn.vantrel.light";
// Written: the board's firmware version as identified at start.
constexpr char kVersionProperty[] = "sys.com.zyn.sensor.version";

// ---- programs and the service
constexpr char kProgramName[] = "vantrel";  // the daemon's program (/vendor/bin/vantrel)
constexpr char kServiceName[] = "vantrel";  // init's service that runs it
constexpr char kLoaderTool[] = "bslsh";     // the bootstrap-loader tool, found along PATH

// Two names as one, at compile time: "init.svc." and the service's name.
template <size_t First, size_t Second>
constexpr std::array<char, First + Second - 1> joinNames(const char (&first)[First],
                                                         const char (&second)[Second]) {
    std::array<char, First + Second - 1> joined{};
    for (size_t i = 0; i + 1 < First; ++i) joined[i] = first[i];
    for (size_t i = 0; i < Second; ++i) joined[First - 1 + i] = second[i];
    return joined;
}

// init's state of the service: "running", "restarting", "stopped".
constexpr auto kServiceStateProperty = joinNames("init.svc.", kServiceName);

}  // namespace vantrel
