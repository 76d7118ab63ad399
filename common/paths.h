// Every fixed path of the daemon, in one place. On a host build they are put
// under VANTREL_ROOT by resolvePath() (platform/platform.h).
#pragma once

namespace vantrel {

constexpr char kPathSerialPort[] = "/dev/ttymxc1";
constexpr char kPathResetLine[] = "/sys/class/gpio/gpio101/value";
constexpr char kPathFirmwareImage[] = "/vendor/.sensor/sensor.hex";

}  // namespace vantrel
