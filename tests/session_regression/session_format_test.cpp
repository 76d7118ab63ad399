// The session file format and the recorder's frame splitter: what a file
// means, which files are refused (and where), and that recorded lines read
// back as the very bytes the board sent.
#include <gtest/gtest.h>

#include "session/frame_splitter.h"
#include "session/serial_capture.h"
#include "session/session_file.h"

namespace vantrel::session {
namespace {

using namespace std::chrono_literals;

Session parsed(const std::string& text) {
    ParseResult result = parseSession(text);
    EXPECT_TRUE(result.session) << result.error;
    return result.session.value_or(Session{});
}

std::string errorOf(const std::string& text) {
    ParseResult result = parseSession(text);
    EXPECT_FALSE(result.session);
    return result.error;
}

TEST(SessionFile, HeaderGivesTheReplayItsWorld) {
    Session s = parsed(
        "# board: bench board 2\n"
        "# firmware: 1.6.24\n"
        "# what: a note: with a colon\n"
        "#   more words, no key\n"
        "# args: -m  -e 1\n"
        "# property: com.zyn.vantrel.led=true\n"
        "# property: com.zyn.vantrel.nfc=\n"
        "# image: development\n"
        "# time-scale: 0.1\n");
    EXPECT_EQ(s.args, (std::vector<std::string>{"-m", "-e", "1"}));
    EXPECT_EQ(s.header["board"], "bench board 2");
    EXPECT_EQ(s.header["what"], "a note: with a colon");
    ASSERT_TRUE(s.firmware);
    EXPECT_EQ(s.firmware->text(), "1.6.24");
    ASSERT_EQ(s.properties.size(), 2u);
    EXPECT_EQ(s.properties[1], (std::pair<std::string, std::string>{"com.zyn.vantrel.nfc", ""}));
    EXPECT_EQ(s.image, "development");
    EXPECT_EQ(s.timeScale, 0.1);
    EXPECT_FALSE(parsed("# args: -m\n# firmware: unknown\n").firmware);
}

TEST(SessionFile, AnswersAreNumberedPerLetterAndStreamKeepsItsOrder) {
    Session s = parsed(
        "# args: -m\n"
        "@on i\n55 41 00 00 00 00 00 41\n"
        "@on D\n"
        "@on i   # the second identify\n"
        "55 41 00 00 00 00 00 41\n"
        "55 4d 00 00 00 00 00 4d  # lower case is fine\n"
        "@stream\n"
        "# a plain comment: not a header field any more\n"
        "41*3 5A\n"
        "@delay 1.5s\n"
        "\n"
        "00\n");
    ASSERT_EQ(s.answers.size(), 3u);
    EXPECT_EQ(s.answers[1].letter, 'D');
    EXPECT_TRUE(s.answers[1].bytes.empty());  // no answer at all
    EXPECT_EQ(s.answers[2].occurrence, 2u);
    EXPECT_EQ(s.answers[2].bytes.size(), 16u);
    EXPECT_EQ(s.answers[2].bytes[9], 0x4D);
    ASSERT_EQ(s.stream.size(), 3u);
    EXPECT_EQ(s.stream[0].bytes, (Bytes{0x41, 0x41, 0x41, 0x5A}));
    EXPECT_TRUE(s.stream[1].isDelay);
    EXPECT_EQ(s.stream[1].delay, 1500ms);
    EXPECT_EQ(s.stream[2].bytes, Bytes{0});
    EXPECT_EQ(s.header.count("a plain comment"), 0u);
}

TEST(SessionFile, MistakesAreRefusedWithTheirLine) {
    EXPECT_EQ(errorOf("# what: no command line\n"), "no \"# args:\" line in the header");
    EXPECT_EQ(errorOf("# args: -m\n55 41\n"), "line 2: bytes before @on or @stream");
    EXPECT_EQ(errorOf("# args: -m\n@on i\n@delay 5ms\n"), "line 3: @delay outside @stream");
    EXPECT_EQ(errorOf("# args: -m\n@stream\n55 4\n"), "line 3: not hex bytes: 55 4");
    EXPECT_EQ(errorOf("# args: -m\n@stream\n@stream\n"), "line 3: a second @stream");
    EXPECT_EQ(errorOf("# args: -m\n@on iD\n"), "line 2: @on needs one command letter");
    EXPECT_EQ(errorOf("# args: -m\n@stream\n@delay soon\n"),
              "line 3: @delay needs a time such as 50ms or 1.5s");
    EXPECT_EQ(errorOf("# args: -m\n@replay\n"), "line 2: unknown directive @replay");
    EXPECT_EQ(errorOf("# property: novalue\n# args: -m\n"), "line 1: property needs KEY=VALUE");
    EXPECT_EQ(errorOf("# firmware: 1.6\n# args: -m\n"),
              "line 1: firmware needs X.Y.Z or \"unknown\"");
    EXPECT_EQ(errorOf("# image: latest\n# args: -m\n"),
              "line 1: image needs X.Y.Z or \"development\"");
    EXPECT_EQ(errorOf("# time-scale: 0\n# args: -m\n"),
              "line 1: time-scale needs a number above 0, at most 1");
}

TEST(SessionFile, HexTokensAndDelaysTakeOnlyTheirOwnForms) {
    EXPECT_EQ(parseHexLine("ff 00*2"), (Bytes{0xFF, 0, 0}));
    for (const char* bad : {"", "5", "555", "GG", "41*", "41*0", "41*x", "41*-1", "0x41"}) {
        EXPECT_FALSE(parseHexLine(bad)) << bad;
    }
    EXPECT_EQ(parseDelay("50ms"), 50ms);
    EXPECT_EQ(parseDelay("0.25s"), 250ms);
    for (const char* bad : {"50", "ms", "-5ms", "5 ms", "5sec"}) {
        EXPECT_FALSE(parseDelay(bad)) << bad;
    }
    EXPECT_EQ(formatDelay(1500ms), "@delay 1500ms");
}

std::vector<Bytes> split(const Bytes& bytes) {
    FrameSplitter splitter;
    std::vector<Bytes> lines = splitter.feed(bytes.data(), bytes.size());
    Bytes rest = splitter.flush();
    if (!rest.empty()) lines.push_back(rest);
    return lines;
}

TEST(FrameSplitter, LinesEndAtFrameBoundaries) {
    Bytes motion = simboard::motion(1, 2);
    Bytes tap = simboard::nfc(4, 1, Bytes{0x55, 0x5A});  // lead bytes inside the payload
    Bytes noise{0x01, 0x02, 0x03};
    std::vector<Bytes> lines = split(simboard::concat(
        simboard::concat(noise, motion), simboard::concat(tap, simboard::truncated(motion, 5))));
    EXPECT_EQ(lines, (std::vector<Bytes>{noise, motion, tap, simboard::truncated(motion, 5)}));
}

TEST(FrameSplitter, ExtendedFrameRunsToItsClaimedLengthAcrossAPause) {
    Bytes big = simboard::encodeExtended(Bytes(600, 0x41));
    FrameSplitter splitter;
    EXPECT_TRUE(splitter.feed(big.data(), 300).empty());
    Bytes head = splitter.flush();  // the board paused here
    Bytes tail(big.begin() + 300, big.end());
    tail.push_back(0x01);
    std::vector<Bytes> lines = splitter.feed(tail.data(), tail.size());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(head.size() + lines[0].size(), big.size());
    EXPECT_EQ(splitter.flush(), Bytes{0x01});  // after the frame: a new line
}

TEST(FrameSplitter, RecordedLinesReadBackAsTheSameBytes) {
    Bytes wire = simboard::concat(simboard::garbage(37, 9), simboard::boardLog("hi U Z"));
    wire = simboard::concat(wire, simboard::withBadChecksum(simboard::light(3, 4)));
    wire = simboard::concat(wire, Bytes{'Z', 0x00});  // cut in its length field
    Bytes read;
    for (const std::string& line : sessionLines(wire)) {
        std::optional<Bytes> bytes = parseHexLine(line);
        ASSERT_TRUE(bytes) << line;
        read = simboard::concat(read, *bytes);
    }
    EXPECT_EQ(read, wire);
    EXPECT_EQ(versionIn(simboard::concat(simboard::ack(), simboard::version(1, 6, 24))), "1.6.24");
    EXPECT_EQ(versionIn(simboard::withBadChecksum(simboard::version(1, 6, 24))), "unknown");
}

}  // namespace
}  // namespace vantrel::session
