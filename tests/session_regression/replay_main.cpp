// vantrel-session-replay: replays recorded sessions (tools/README.md) into the
// real daemon and compares what it did with each session's NAME.chk; one
// test per session. --update (or VANTREL_SESSIONS_UPDATE=1) writes the .chk
// files instead: read every one it writes, it becomes the expected result.
// --print shows each report; GoogleTest's own --gtest_ options work too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "session/session_file.h"
#include "session_regression/session_replay.h"
#include "support/process_harness.h"

namespace {

namespace fs = std::filesystem;
using vantrel::test::readWhole;
using vantrel::test::splitLines;

struct Mode {
    bool update = false;
    bool print = false;
};

class SessionCheck : public ::testing::Test {
  public:
    SessionCheck(fs::path log, Mode mode) : log_(std::move(log)), mode_(mode) {}

    void TestBody() override {
        ASSERT_TRUE(fs::is_regular_file(log_)) << "cannot read " << log_;
        std::string text = readWhole(log_);
        vantrel::session::ParseResult parsed = vantrel::session::parseSession(text);
        ASSERT_TRUE(parsed.session) << log_.string() << ": " << parsed.error;
        std::string result =
            vantrel::test::replaySession(log_.stem().string(), *parsed.session, text);
        if (mode_.print) std::cout << result;
        fs::path check = fs::path(log_).replace_extension(".chk");
        if (mode_.update) {
            std::ofstream(check, std::ios::binary | std::ios::trunc) << result;
            std::cout << "wrote " << check.string() << " (read it before keeping it)\n";
            return;
        }
        ASSERT_TRUE(fs::is_regular_file(check))
            << "no " << check.string() << ": write it with --update, then read it";
        std::string expected = readWhole(check);
        EXPECT_TRUE(expected == result)
            << "the replay differs from " << check.string() << " (- expected, + this run):\n"
            << testing::internal::edit_distance::CreateUnifiedDiff(splitLines(expected),
                                                                   splitLines(result));
    }

  private:
    fs::path log_;
    Mode mode_;
};

// Every .log named, and those in the folders named, each list sorted.
std::vector<fs::path> sessionFiles(const std::vector<std::string>& arguments) {
    std::vector<fs::path> files;
    for (const std::string& argument : arguments) {
        if (!fs::is_directory(argument)) {
            files.emplace_back(argument);
            continue;
        }
        std::vector<fs::path> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(argument)) {
            if (entry.path().extension() == ".log") found.push_back(entry.path());
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);  // takes the --gtest_ options out
    Mode mode;
    const char* update = getenv("VANTREL_SESSIONS_UPDATE");
    mode.update = update != nullptr && std::string(update) == "1";
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--update") {
            mode.update = true;
        } else if (arg == "--print") {
            mode.print = true;
        } else {
            arguments.push_back(arg);
        }
    }
    std::vector<fs::path> files = sessionFiles(arguments);
    if (files.empty()) {
        std::cerr << "usage: vantrel-session-replay [--update] [--print] SESSION.log|DIR...\n";
        return 2;
    }
    for (const fs::path& file : files) {
        std::string name = file.stem().string();
        ::testing::RegisterTest(
            "Sessions", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
            [file, mode]() -> ::testing::Test* { return new SessionCheck(file, mode); });
    }
    return RUN_ALL_TESTS();
}
