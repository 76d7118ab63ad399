// A stand-in program for the tests: records how it was started and exits
// with a chosen status. Into the file named by VANTREL_TEST_RECORD it writes
// every argument, argv[0] included, one per line, then the "SigBlk:" line of
// its own status (the signals it was started with blocked). It exits with
// the status in VANTREL_TEST_EXIT, 0 when that is unset.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const char* recordPath = getenv("VANTREL_TEST_RECORD");
    if (recordPath != nullptr) {
        FILE* record = fopen(recordPath, "w");
        if (record == nullptr) return 125;
        for (int i = 0; i < argc; ++i) fprintf(record, "%s\n", argv[i]);
        FILE* status = fopen("/proc/self/status", "r");
        char line[256];
        while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
            if (strncmp(line, "SigBlk:", 7) == 0) fputs(line, record);
        }
        if (status != nullptr) fclose(status);
        fclose(record);
    }
    const char* exitStatus = getenv("VANTREL_TEST_EXIT");
    return exitStatus != nullptr ? atoi(exitStatus) : 0;
}
