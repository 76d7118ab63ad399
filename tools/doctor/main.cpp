// vantrel-doctor: says, in one run, why the daemon cannot work where it is
// about to run. It reads the daemon's surroundings as the daemon sees them;
// only --probe-board talks to the board.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/doctor/doctor.h"
#include "tools/doctor/report.h"

namespace {

using namespace vantrel::doctor;

constexpr double kDefaultListenSeconds = 3;
constexpr double kLongestListenSeconds = 3600;
constexpr int kStatusUsage = 2;

struct Options {
    bool json = false;
    bool probe = false;
    double listenSeconds = kDefaultListenSeconds;
    std::string device;  // -p; empty: the daemon's own
};

void usage(FILE* out) {
    fputs(
        "Usage: vantrel-doctor [--json] [--probe-board] [--listen SECONDS] [-p DEVICE] [-h]\n"
        "Checks what the sensor daemon needs, as the daemon sees it: its process, the\n"
        "serial device and who holds it, the reset line, bslsh and am, the firmware\n"
        "image, its properties, the forwarded streams, its FIFOs and SELinux.\n"
        "  --json          one JSON array of {check, verdict, detail, fix}\n"
        "  --probe-board   also identify the board with the daemon's exchange (one\n"
        "                  attempt, no reset, nothing flashed) and count what it sends\n"
        "  --listen S      seconds to count what the board sends (default 3)\n"
        "  -p DEVICE       the serial device (default: the daemon's)\n"
        "  -h, --help      this text\n"
        "Exit status: 0 no check failed, 1 a check failed, 2 usage.\n",
        out);
}

// 0 when the options were read; otherwise the exit status (-1: help shown).
int parseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return -1;
        }
        if (arg == "--json") {
            options->json = true;
        } else if (arg == "--probe-board") {
            options->probe = true;
        } else if (arg == "--listen" && i + 1 < argc) {
            char* end = nullptr;
            options->listenSeconds = strtod(argv[++i], &end);
            // An hour at most: "inf" or 1e300 would make the probe wait for ever.
            if (end == argv[i] || *end != '\0' || !(options->listenSeconds >= 0) ||
                options->listenSeconds > kLongestListenSeconds) {
                fprintf(stderr, "vantrel-doctor: --listen takes a number of seconds, 0 to 3600\n");
                usage(stderr);
                return kStatusUsage;
            }
        } else if (arg == "-p" && i + 1 < argc) {
            options->device = argv[++i];
        } else {
            fprintf(stderr, "vantrel-doctor: unknown option or missing value: %s\n", arg.c_str());
            usage(stderr);
            return kStatusUsage;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = parseArguments(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    Survey survey = takeSurvey(options.device);
    std::vector<CheckResult> results = runLocalChecks(survey);
    if (options.probe) results.push_back(probeBoard(survey, options.listenSeconds));

    if (options.json) {
        printJson(stdout, results);
    } else {
        printTable(stdout, results, isatty(STDOUT_FILENO) != 0);
    }
    bool failed = false;
    for (const CheckResult& r : results) failed = failed || r.verdict == Verdict::Fail;
    return failed ? 1 : 0;
}
