#include "fault_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace vantrel::test {

size_t logMark(const ProcessHarness& h) {
    return h.logRecords().size();
}

std::vector<std::string> messagesSince(const ProcessHarness& h, size_t mark) {
    std::vector<LogRecord> records = h.logRecords();
    std::vector<std::string> messages;
    for (size_t i = mark; i < records.size(); ++i) {
        if (records[i].message != kQuietLinkLine) messages.push_back(records[i].message);
    }
    return messages;
}

std::vector<int32_t> readValues(FifoReader& reader, size_t count) {
    std::vector<int32_t> values;
    while (values.size() < count) {
        std::optional<int32_t> value = reader.readValue();
        if (!value) break;
        values.push_back(*value);
    }
    return values;
}

size_t countLines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string unknownLeadLines(const simboard::Bytes& bytes) {
    std::string lines;
    lines.reserve(bytes.size() * 28);
    for (uint8_t byte : bytes) {
        char line[40];
        snprintf(line, sizeof line, "Unknown lead in byte [0x%02X]\n", byte);
        lines += line;
    }
    return lines;
}

std::string firstDifference(const std::string& actual, const std::string& expected) {
    if (actual == expected) return "";
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    size_t from = at > 40 ? at - 40 : 0;
    return "sizes " + std::to_string(actual.size()) + " and " + std::to_string(expected.size()) +
           ", first difference at byte " + std::to_string(at) + ":\n  actual   ..." +
           actual.substr(from, 80) + "\n  expected ..." + expected.substr(from, 80);
}

std::string heldStandIn(const std::string& journal, const std::string& release, int status,
                        const std::string& onlyWhen) {
    std::string filter;
    if (!onlyWhen.empty()) filter = "case \"$*\" in *" + onlyWhen + "*) ;; *) exit 0 ;; esac\n";
    return "#!/bin/sh\n" + filter + "echo \"started $*\" >> '" + journal +
           "'\n"
           "tries=0\n"
           "while [ ! -e '" +
           release +
           "' ] && [ $tries -lt 500 ]; do sleep 0.02; tries=$((tries + 1)); done\n"
           "echo ended >> '" +
           journal + "'\nexit " + std::to_string(status) + "\n";
}

void releaseStandIn(const std::string& release) {
    std::ofstream(release) << "go\n";
}

bool makeFifo(const ProcessHarness& h, const std::string& name) {
    return mkfifo(h.path("data/" + name).c_str(), 0666) == 0;
}

}  // namespace vantrel::test
