// The daemon's run sequence, from the FIFOs to the exit status.
#pragma once

namespace vantrel {

// The settings read from system properties where no option decides.
constexpr char kLedProperty[] = "com.zyn.vantrel.led";
constexpr char kNfcProperty[] = "com.zyn.vantrel.nfc";
constexpr char kMotionProperty[] = "com.zyn.vantrel.motion";
constexpr char kLightProperty[] = "com.zyn.vantrel.light";

// Everything main does; returns the process exit status.
int runDaemon(int argc, char** argv);

// SIGINT: ends the receive phase and closes the serial port.
void handleSigint(int signal);

}  // namespace vantrel
