// vantrel-session-record as a process against a simulated board on a pty
// (the --device path: termios, the start-up exchange, the stream): what it
// writes reads back as a session with the board's very bytes, in the right
// blocks, one frame a line; and it leaves alone a port the daemon holds.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon/run.h"
#include "session/session_file.h"
#include "simboard/simulated_board.h"
#include "support/process_harness.h"

namespace vantrel::session {
namespace {

using namespace std::chrono_literals;
using test::readWhole;
using test::waitUntil;

TEST(SessionRecorder, RecordsTheExchangeAndTheStreamOfADevice) {
    simboard::SimulatedBoard board(simboard::FirmwareVersion{1, 6, 24});
    Bytes noisyAnswer = simboard::concat(simboard::garbage(3, 5),
                                         simboard::concat(simboard::ack(), simboard::ack()));
    board.setResponse(kCommandLed, noisyAnswer);
    char pattern[] = "/tmp/vantrel-record-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string output = std::string(pattern) + "/bench.log";

    std::string command = std::string(VANTREL_RECORDER_PATH) + " --device " + board.slavePath() +
                          " --seconds 1 --led 0 --nfc 1 --what 'a bench test' --output " + output +
                          " 2> " + pattern + "/progress";
    std::thread recorder([&] { EXPECT_EQ(system(command.c_str()), 0); });
    bool streaming =
        waitUntil([&] { return readWhole(output).find("@stream\n") != std::string::npos; }, 5000ms);
    Bytes tap = simboard::nfc(4, 1, Bytes{0x55, 0x5A, 0x01});  // lead bytes inside
    if (streaming) {
        board.send(simboard::motion(1, 2));
        board.send(simboard::garbage(4, 7));
        board.send(tap);
    }
    recorder.join();
    ASSERT_TRUE(streaming) << readWhole(output);

    std::string text = readWhole(output);
    std::string progress = readWhole(std::string(pattern) + "/progress");
    std::filesystem::remove_all(pattern);
    // A person watching sees where it is; a person reading sees what each line is.
    const std::vector<std::string> reports = {"opened " + board.slavePath(),
                                              "sent i 00, answer: ACK", "done: " + output};
    for (const std::string& said : reports) {
        EXPECT_NE(progress.find("vantrel-session-record: " + said), std::string::npos)
            << said << " not in:\n"
            << progress;
    }
    for (const char* comment : {"# ACK", "# M ps1=1 ps2=2 (motion)"}) {
        EXPECT_NE(text.find(comment), std::string::npos) << comment << " not in:\n" << text;
    }
    ParseResult parsed = parseSession(text);
    ASSERT_TRUE(parsed.session) << parsed.error;
    Session& s = *parsed.session;
    EXPECT_EQ(s.header["what"], "a bench test");
    EXPECT_EQ(s.args, (std::vector<std::string>{"-m", "-l", "-e", "0", "-n", "1"}));
    ASSERT_TRUE(s.firmware);
    EXPECT_EQ(s.firmware->text(), "1.6.24");  // from the version answer

    ASSERT_EQ(s.answers.size(), 3u);
    EXPECT_EQ(s.answers[0].bytes, simboard::concat(simboard::ack(), simboard::version(1, 6, 24)));
    EXPECT_EQ(s.answers[1].letter, 'D');
    EXPECT_EQ(s.answers[1].bytes, noisyAnswer);
    EXPECT_EQ(s.answers[2].bytes, simboard::concat(simboard::ack(), simboard::ack()));
    std::vector<simboard::ReceivedCommand> commands = board.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(simboard::describeCommand(commands[1].payload), "D 00 (LED off)");
    EXPECT_EQ(simboard::describeCommand(commands[2].payload), "N 01 (NFC on)");

    std::vector<Bytes> lines;  // pauses may fall anywhere: only the bytes count
    for (const StreamStep& step : s.stream) {
        if (!step.isDelay) lines.push_back(step.bytes);
    }
    EXPECT_EQ(lines, (std::vector<Bytes>{simboard::motion(1, 2), simboard::garbage(4, 7), tap}));
}

// The daemon in its receive phase holds the port: a recording beside it would
// steal the daemon's bytes, so the recorder names the daemon and stops.
TEST(SessionRecorder, RefusesAPortTheDaemonHolds) {
    test::ProcessHarness daemon;
    ASSERT_TRUE(daemon.start({"-m", "-e", "0", "-n", "0"}));
    ASSERT_TRUE(waitUntil([&] {
        return daemon.daemonStdoutText().find(kReceiveBanner) != std::string::npos;
    })) << daemon.stderrText();

    std::string said = daemon.path("recorder.err");
    std::string command = std::string(VANTREL_RECORDER_PATH) + " --device " +
                          daemon.path("dev/ttymxc1") + " --seconds 5 2> " + said + " > /dev/null";
    int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text = readWhole(said);
    std::string pid = "pid " + std::to_string(daemon.pid()) + " (";
    for (const std::string& part : {pid, std::string("stop vantrel")}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " not in:\n" << text;
    }
    EXPECT_TRUE(daemon.board().commands().size() == 3u) << "the recorder wrote to the port";
}

}  // namespace
}  // namespace vantrel::session
