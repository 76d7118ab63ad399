// The doctor's fixes for the panel's files and nodes, one per cause, each the
// lasting change in the device tree and what to type now over adb. Every
// path comes from the daemon's own names (common/paths.h, the pipe table).
#pragma once

#include <string>

namespace vantrel::doctor {

// The serial device (kPathSerialPort).
std::string fixSerialMissing();
std::string fixSerialNotCharacterDevice();
std::string fixSerialAccess();
std::string fixSerialLabel();
std::string fixSerialNoPort();
std::string fixSerialNotTerminal();

// The reset line (kPathResetLine).
std::string fixResetNotExported();
std::string fixResetNotWritable();
std::string fixResetNotOutput();

// bslsh and am: missing from the search path, or there but not executable.
std::string fixToolMissing(const char* name, const char* folder, const char* purpose);
std::string fixToolNotExecutable(const std::string& path);

// The FIFOs' folder: missing, or not writable by the daemon's user.
std::string fixFolderMissing(const std::string& folder);
std::string fixFolderNotWritable(const std::string& folder);

}  // namespace vantrel::doctor
