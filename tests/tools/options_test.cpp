// The tools' option table (tools/cli/options.h) on command lines of a
// made-up tool: what each kind of option keeps, and what a bad command line
// says and returns.
#include "tools/cli/options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vantrel::test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

FILE* usageShownOn = nullptr;

void usage(FILE* out) {
    usageShownOn = out;
}

struct Settings {
    bool loud = false;
    bool colour = true;
    double rate = 1;
    int count = 0;
    std::string name;
    std::string mode;
    std::vector<std::string> words;

    bool operator==(const Settings& o) const {
        return loud == o.loud && colour == o.colour && rate == o.rate && count == o.count &&
               name == o.name && mode == o.mode && words == o.words;
    }
};

std::optional<std::string> modeNamed(const std::string& text) {
    if (text == "fast" || text == "slow") return text;
    return std::nullopt;
}

std::optional<int> read(std::vector<const char*> args, Settings* s, bool takesWords) {
    args.insert(args.begin(), "tool");
    std::vector<cli::Option> table = {
        cli::flag("--loud", &s->loud),
        cli::flag("--no-colour", &s->colour, false),
        cli::number("--rate", &s->rate, 0.5),
        cli::number("--count", &s->count),
        cli::text("--name", &s->name),
        {"--mode", true, [s](const char* v) { return modeNamed(v) && (s->mode = v, true); },
         "fast or slow"},
    };
    std::function<void(const char*)> word;
    if (takesWords) word = [s](const char* w) { s->words.emplace_back(w); };
    return cli::readOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), "tool",
                            table, usage, word);
}

TEST(ToolOptions, EachOptionKeepsItsValueAndABadLineSaysWhatIsWrong) {
    Settings defaults;
    Settings set = defaults;
    set.loud = true, set.colour = false, set.rate = 2.5, set.count = 3, set.name = "x";
    set.mode = "slow", set.words = {"a", "b"};
    Settings onlyWords = defaults;
    onlyWords.words = {"a", ""};
    Settings loudOnly = defaults;
    loudOnly.loud = true;
    const struct {
        std::vector<const char*> args;
        bool takesWords;
        std::optional<int> status;
        Settings expected;
        const char* message;  // on standard error
        FILE* usage;
    } rows[] = {
        {{}, false, std::nullopt, defaults, "", nullptr},
        // clang-format off
        {{"--loud", "--no-colour", "--rate", "2.5", "--count", "3.9", "--name", "x", "--mode",
          "slow", "a", "b"}, true, std::nullopt, set, "", nullptr},
        // clang-format on
        {{"a", ""}, true, std::nullopt, onlyWords, "", nullptr},
        {{"-h", "--bogus"}, false, 0, defaults, "", stdout},
        {{"--loud", "--help"}, false, 0, loudOnly, "", stdout},
        {{"--bogus"}, true, 2, defaults, "tool: unknown option --bogus\n", stderr},
        {{"word"}, false, 2, defaults, "tool: unknown option word\n", stderr},
        {{"--rate"}, false, 2, defaults, "tool: --rate needs a value\n", stderr},
        {{"--rate", "fast"}, false, 2, defaults, "tool: bad value for --rate: fast\n", stderr},
        {{"--rate", "2x"}, false, 2, defaults, "tool: bad value for --rate: 2x\n", stderr},
        {{"--rate", "0.4"}, false, 2, defaults, "tool: bad value for --rate: 0.4\n", stderr},
        {{"-"}, true, 2, defaults, "tool: unknown option -\n", stderr},
        {{"--count", "-1"}, false, 2, defaults, "tool: bad value for --count: -1\n", stderr},
        {{"--count", "nan"}, false, 2, defaults, "tool: bad value for --count: nan\n", stderr},
        {{"--mode", "loud"}, false, 2, defaults, "tool: --mode takes fast or slow\n", stderr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(
            ::testing::PrintToString(std::vector<std::string>(row.args.begin(), row.args.end())));
        Settings got;
        usageShownOn = nullptr;
        CaptureStderr();
        EXPECT_EQ(read(row.args, &got, row.takesWords), row.status);
        EXPECT_EQ(GetCapturedStderr(), row.message);
        EXPECT_EQ(usageShownOn, row.usage);
        EXPECT_TRUE(got == row.expected);
    }
}

}  // namespace
}  // namespace vantrel::test
