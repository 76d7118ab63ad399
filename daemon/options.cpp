#include "daemon/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"

namespace vantrel {

namespace {

constexpr char kOptionString[] = "vdmlh?e:n:p:";

void setPortPath(RunSettings* settings, const char* path) {
    free(settings->portPath);
    settings->portPath = strdup(path);
    if (gState.verbose && settings->portPath != nullptr) {
        logDebug("serialPort=[%s]\n", settings->portPath);
    }
}

// Applies one option; false when it asks for the usage text.
bool applyOption(int option, RunSettings* settings) {
    switch (option) {
        case 'v':
            gState.verbose = true;
            break;
        case 'd':
            settings->daemonMode = true;
            break;
        case 'm':
            gState.ignoreMotion = false;
            settings->motionGiven = true;
            break;
        case 'l':
            gState.ignoreLight = false;
            settings->lightGiven = true;
            break;
        case 'e':
            // NOLINTNEXTLINE(cert-err34-c): the option means what atoi makes of it
            settings->ledOn = atoi(optarg) != 0;
            settings->ledGiven = true;
            break;
        case 'n':
            // NOLINTNEXTLINE(cert-err34-c): the option means what atoi makes of it
            settings->nfcOn = atoi(optarg) != 0;
            settings->nfcGiven = true;
            break;
        case 'p':
            setPortPath(settings, optarg);
            break;
        default:
            return false;  // -h, -?, and what getopt reports as '?'
    }
    settings->optionSeen = true;
    return true;
}

}  // namespace

bool parseOptions(int argc, char** argv, RunSettings* settings) {
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, kOptionString)) != -1) {
        if (!applyOption(option, settings)) return false;
    }
    return true;
}

void releaseRunSettings(RunSettings* settings) {
    free(settings->portPath);
    settings->portPath = nullptr;
}

void printUsage() {
    static const char* const kUsage[] = {
        "vantrel \n\n",
        "Usage: ./vantrel  \n\n",
        "Options:\n",
        "\t-v\tenable extra debug messages\n",
        "\t-h\tdisplay help\n",
        "\t-m\tscan for incoming Motion Sensor Messages\n",
        "\t-l\tscan for incoming Light Sensor Messages\n",
        "\t-e\tturn debug LED 0:off, 1: on\n",
        "\t-n\tturn NFC 0:off, 1: on\n",
        "\t-d\trun in daemon mode (sleep after crash)\n",
    };
    for (const char* line : kUsage) fputs(line, stderr);
}

}  // namespace vantrel
