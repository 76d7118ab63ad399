// Every fixed path of the daemon, in one place. On a host build they are put
// under VANTREL_ROOT by resolvePath() (platform/platform.h).
#pragma once

namespace vantrel {

constexpr char kPathSerialPort[] = "/dev/ttymxc1";
constexpr char kPathResetLine[] = "/sys/class/gpio/gpio101/value";
constexpr char kPathFirmwareImage[] = "/vendor/.sensor/sensor.hex";
// The service's init file as the panel installs it (android/vantrel.rc).
// The daemon never reads it; its tools do, to know its options while it is
// stopped.
constexpr char kPathInitFile[] = "/vendor/etc/init/vantrel.rc";
constexpr char kServiceName[] = "vantrel";

}  // namespace vantrel
