// What the /proc reader makes of command lines as /proc gives them, recorded
// from panels and emulators: which processes are the daemon, and its options.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/proc/port_holders.h"

namespace vantrel::test {
namespace {

TEST(ProcReader, DaemonCommandLines) {
    using Args = std::vector<std::string>;
    const std::pair<Args, std::optional<Args>> rows[] = {
        {{"/vendor/bin/vantrel", "-d", "-m", "-l"}, Args{"-d", "-m", "-l"}},
        {{"/usr/bin/qemu-arm", "/b/vantrel", "/b/vantrel", "-m"}, Args{"-m"}},
        {{"/usr/bin/qemu-arm", "/b/vantrel", "-l"}, Args{"-l"}},
        {{"vantrel", "-p", "/tmp/x/vantrel"}, Args{"-p", "/tmp/x/vantrel"}},
        {{"/b/vantrel-doctor", "--json"}, std::nullopt},
        {{"sh", "-c", "vantrel -m"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [commandLine, arguments] : rows) {
        EXPECT_EQ(proc::daemonArguments(commandLine), arguments) << commandLine.size();
    }
}

}  // namespace
}  // namespace vantrel::test
