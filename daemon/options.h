// The command line: option string "vdmlh?e:n:p:", read with getopt.
#pragma once

namespace vantrel {

// Settings held by main for one run (not shared).
struct RunSettings {
    bool ledGiven = false;     // -e: the LED property is not read
    bool ledOn = false;        // state byte of the LED command
    bool nfcGiven = false;     // -n: the NFC property is not read
    bool nfcOn = false;        // state byte of the NFC command
    bool motionGiven = false;  // -m
    bool lightGiven = false;   // -l
    bool daemonMode = false;   // -d: pause and status 1 after a communication error
    bool optionSeen = false;   // any option but -h and -?
    char* portPath = nullptr;  // -p, owned; released with releaseRunSettings()
};

// Reads the options in command-line order (the last of a repeated option
// wins); -v, -m and -l also set DaemonState. Returns false for -h, -?, an
// unknown option or a missing argument: the caller prints the usage.
bool parseOptions(int argc, char** argv, RunSettings* settings);

void releaseRunSettings(RunSettings* settings);

// The usage text, on standard error.
void printUsage();

}  // namespace vantrel
