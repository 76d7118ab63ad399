// The doctor's readers of text, on text recorded from panels, emulators and
// the kernel: the daemon's log records, init files, SELinux contexts and
// denials, the board's bytes as the probe counts them, firmware images as
// Intel HEX and SHA-256 on the standard vectors.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/paths.h"
#include "support/process_harness.h"
#include "tools/doctor/daemon_log.h"
#include "tools/doctor/frame_tally.h"
#include "tools/doctor/init_file.h"
#include "tools/doctor/intel_hex.h"
#include "tools/doctor/selinux.h"
#include "tools/doctor/sha256.h"
#include "wire/frames.h"

namespace vantrel::test {
namespace {

// A log as the doctor reads it, and what the doctor reads in its current run.
struct LogRow {
    doctor::Phase phase;
    int failedAttempt;
    bool startSeen;
    size_t earlierLines;
    doctor::Tally repeated;  // the trouble the log ends with (3 times or more)
    const char* counts;      // "<tally> <count>" in the tallies' order, those not 0
    const char* log;
};

TEST(DoctorRecordedText, DaemonLogPhasesAndCounts) {
    using doctor::Phase;
    namespace d = doctor;
    constexpr char kFifo[] = "/r/data/pipeProx";
    const LogRow rows[] = {
        // a run that crashed while checksums failed, then this run receiving
        {Phase::Receiving, 0, true, 4, d::kNoTally,
         "checksum failures 1, version broadcasts 1, NFC events 1",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n"
         "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n"
         "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n"
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "D/Vantrel: Pipe [/r/data/pipeLight] already exists.\n"
         "I/Vantrel: Sensor board version: 1.6.25\n"
         "I/Vantrel: UPDATE_VERSION broadcase: am broadcast -a x --es version 1.6.25\n"
         "I/Vantrel: Sensor version and Required version are the same. Skipping upgrade.\n"
         "I/Vantrel: com.zyn.vantrel.nfc on\n"
         "I/Vantrel: NFC EVENT: am broadcast -a y\n"
         "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n"},
        // logcat -v brief on the panel: the tag padded to 8, other tags, CR LF
        {Phase::Identifying, 2, true, 0, d::kNoTally, "stray lead bytes 1",
         "--------- beginning of main\r\n"
         "D/Vantrel ( 2211): openPipe Fifo [/r/data/pipeProx] created successfully.\r\n"
         "I/ActivityManager(  612): id query command attempt 9 failed\r\n"
         "D/Vantrel ( 2211): Unknown packet received: start byte is [0x41]\r\n"
         "E/Vantrel ( 2211): id query command attempt 1 failed\r\n"
         "E/Vantrel( 2211): id query command attempt 2 failed\r\n"},
        // the board at another version, bslsh cannot flash it, daemon mode
        {Phase::CommError, 0, true, 0, d::kNoTally, "",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "I/Vantrel: Sensor version [1.6.24] != Required version [1.6.25]. Do upgrade.\n"
         "I/Vantrel: Waiting for bslUpgrade..\n"
         "I/Vantrel: bspUpgrade ret = 1\n"
         "E/Vantrel: Upgrade Failed!\n"
         "E/Vantrel: Communication Error!\n"
         "E/Vantrel: Sleeping 60 seconds before restart...\n"},
        {Phase::Flashing, 0, true, 0, d::kNoTally, "",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "I/Vantrel: Sensor version [1.6.24] != Required version [1.6.25]. Do upgrade.\n"
         "I/Vantrel: Waiting for bslUpgrade..\n"},
        // ten failed attempts, then the loader is asked
        {Phase::CheckingLoader, 10, true, 0, d::kNoTally, "",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "E/Vantrel: id query command attempt 10 failed\n"
         "I/Vantrel: Can't communicate with sensor fw, so trying BSL..\n"
         "I/Vantrel: Waiting for bslCommCheck..\n"},
        // a line being written is not read; the last whole one is the hang-up
        {Phase::HungUp, 0, false, 0, d::kNoTally, "hang-ups 2",
         "I/Vantrel: com.zyn.vantrel.nfc off\n"
         "E/Vantrel: readData()::serial port hung up\n"
         "E/Vantrel: readData()::serial port hung up\n"
         "E/Vantrel: readData()::sel"},
        // SIGINT in the receive wait: what follows does not undo the ending
        {Phase::EndingSigint, 0, true, 0, d::kNoTally, "receive time-outs 1",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "I/Vantrel: Setting NFC on\n"
         "E/Vantrel: Signal <2> Caught!\n"
         "E/Vantrel: readData()::select failed : -1 (Interrupted system call)\n"
         "E/Vantrel: readData()::select timedout!\n"},
        // a quiet link: the board's own log text does not break the row
        {Phase::Receiving, 0, false, 0, d::kReceiveTimeouts, "receive time-outs 3",
         "E/Vantrel: readData()::select timedout!\n"
         "E/Vantrel: readData()::select timedout!\n"
         "D/Vantrel: TavrixLog: [adc ok]\n"
         "E/Vantrel: readData()::select timedout!\n"},
        // records on standard error, among the daemon's console lines (and a
        // record's text without its prefix, which is not a record)
        {Phase::Receiving, 0, true, 0, d::kStrayLeadBytes,
         "stray lead bytes 3, parse failures 1, failed NFC commands 1, failed LED commands 1",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "readData()::select timedout!\n"
         "Setting LED on\n"
         "nfc command failed\n"
         "led command failed\n"
         "E/Vantrel: readData()::failed to parseStandardData()\n"
         "Unknown lead in byte [0x41]\n"
         "Unknown lead in byte [0x42]\n"
         "Unknown lead in byte [0x43]\n"},
        // another root's FIFO starts no run here; nothing names a phase
        {Phase::Unknown, 0, false, 0, d::kNoTally, "version broadcasts 1",
         "D/Vantrel: Pipe [/other/data/pipeProx] already exists.\n"
         "I/Vantrel: UPDATE_VERSION broadcase: am broadcast -a x --es version 1.6.25\n"},
        {Phase::Starting, 0, true, 0, d::kNoTally, "",
         "D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"},
        {Phase::Unknown, 0, false, 0, d::kNoTally, "", ""},
    };
    for (const LogRow& row : rows) {
        SCOPED_TRACE(row.log);
        d::RunLines run = d::currentRun(d::daemonLines(row.log), kFifo);
        d::Activity activity = d::readActivity(run);
        EXPECT_EQ(activity.phase, row.phase);
        EXPECT_EQ(activity.failedAttempt, row.failedAttempt);
        EXPECT_EQ(run.startSeen, row.startSeen);
        EXPECT_EQ(run.earlierLines, row.earlierLines);
        std::string counts;
        for (int tally = 0; tally < d::kTallyCount; ++tally) {
            if (activity.counts[tally] == 0) continue;
            counts += counts.empty() ? "" : ", ";
            counts += d::tallyName(static_cast<d::Tally>(tally)) +
                      (" " + std::to_string(activity.counts[tally]));
        }
        EXPECT_EQ(counts, row.counts);
        EXPECT_EQ(d::recurringTrouble(activity), row.repeated);
        EXPECT_EQ(activity.phaseRecord.find_first_of("\r\n"), std::string::npos);
    }
}

// The texts the doctor looks for are the daemon's own, word for word.
TEST(DoctorRecordedText, DaemonTextsAreTheDaemons) {
    std::string sources;
    for (const char* file :
         {"common/log.cpp", "daemon/run.cpp", "daemon/options.cpp", "link/receive_loop.cpp",
          "link/command_exchange.cpp", "link/framing.cpp", "messages/sensor_pipes.cpp",
          "messages/standard_messages.cpp", "messages/extended_messages.cpp",
          "firmware/bsl_tool.cpp", "firmware/board_identification.cpp"}) {
        sources += readWhole(std::string(VANTREL_SOURCE_DIR) + "/" + file);
    }
    for (const std::string& text : doctor::knownDaemonTexts()) {
        EXPECT_NE(sources.find("\"" + text), std::string::npos) << text;
    }
}

TEST(DoctorRecordedText, SelinuxLabelsAndDenials) {
    using doctor::contextType;
    const std::pair<std::string, std::string> contexts[] = {
        {std::string("u:r:vantrel:s0\0", 15), "vantrel"},
        {"u:r:su:s0\n", "su"},
        {"u:object_r:vantrel_tty_device:s0", "vantrel_tty_device"},
        {"kernel", ""},
        {"", ""},
        {"system_u:system_r:init_t:s0-s0:c0.c1023", "init_t"},
    };
    for (const auto& [text, type] : contexts) EXPECT_EQ(contextType(text), type) << text;

    const std::pair<const char*, std::vector<std::string>> logs[] = {
        {"[   41.2] type=1400 audit(1.0:7): avc: denied { read write } for pid=301 "
         "comm=\"vantrel\" name=\"ttymxc1\" dev=\"tmpfs\" ino=88 scontext=u:r:vantrel:s0 "
         "tcontext=u:object_r:device:s0 tclass=chr_file permissive=0\n",
         {"vantrel -> device chr_file { read write } \"ttymxc1\""}},
        {"avc: denied { open } for comm=\"sh\" scontext=u:r:shell:s0 "
         "tcontext=u:object_r:vantrel_pipe_file:s0 tclass=fifo_file\n"
         "avc: denied { read } for scontext=u:r:untrusted_app:s0 "
         "tcontext=u:object_r:app_data_file:s0 tclass=file\n"
         "avc: granted { read } for scontext=u:r:vantrel:s0 "
         "tcontext=u:object_r:vantrel_firmware_file:s0 tclass=file\n",
         {"shell -> vantrel_pipe_file fifo_file { open }"}},
        {"audit: avc: denied { write } for name=\"value\" scontext=u:r:vantrel:s0 "
         "tcontext=u:object_r:sysfs:s0 tclass=file\ninit: Service 'vantrel' exited with status 1\n",
         {"vantrel -> sysfs file { write } \"value\""}},
    };
    for (const auto& [log, denials] : logs) EXPECT_EQ(doctor::daemonDenials(log), denials) << log;
}

TEST(DoctorRecordedText, ServiceOptionsFromInitFiles) {
    using Args = std::vector<std::string>;
    const std::pair<std::string, std::optional<Args>> rows[] = {
        {readWhole(std::string(VANTREL_SOURCE_DIR) + "/android/vantrel.rc"),
         Args{"-d", "-m", "-l"}},
        {"service vantrel /vendor/bin/vantrel\n    class main\n", Args{}},
        {"service vantrel /vendor/bin/vantrel -d \\\n    -m # motion\r\n    user system\n",
         Args{"-d", "-m"}},
        {"service other /x -m\nservice vantrel /vendor/bin/vantrel -l\n", Args{"-l"}},
        {"# service vantrel /vendor/bin/vantrel -m\n", std::nullopt},
        {"service vantrel\n", std::nullopt},
        {"service vantrel-helper /x -m\n", std::nullopt},
        {"service vantrel /vendor/bin/vantrel -m \\", Args{"-m"}},
    };
    for (const auto& [text, arguments] : rows) {
        EXPECT_EQ(doctor::serviceArguments(text, "vantrel"), arguments) << text;
    }
    // init keeps the service's state under its name; the doctor reads it there.
    EXPECT_STREQ(kServiceStateProperty.data(), "init.svc.vantrel");
}

// The probe counts frames as the daemon would read them: an extended frame
// past the daemon's 512 payload bytes ends where the daemon takes its
// checksum, and the rest of it is stray bytes.
TEST(DoctorRecordedText, BoardBytesCountedAsTheDaemonReadsThem) {
    using namespace wire;
    Bytes longLog(768, 0);
    longLog[0] = kExtendedLog;
    longLog[512] = kExtendedLog;  // the daemon's checksum: the sum of the 512 it takes
    const std::pair<Bytes, std::string> rows[] = {
        {concat(concat(motion(1, 2), motion(3, 4)), concat(light(5, 6), ack())),
         "in 2.0 s: 32 bytes; standard A=1 L=1 M=2; motion 1.0/s; light 0.5/s"},
        {concat(concat(boardLog("ok"), nfc(4, 1, {0xA1})), encodeExtended({})),
         "in 2.0 s: 20 bytes; extended -1=1 1=1 7=1"},
        {concat(concat(garbage(5), withBadChecksum(motion(1, 2))), truncated(version(1, 6, 25), 4)),
         "in 2.0 s: 17 bytes; 1 checksum failures; 5 stray bytes; the last frame was cut short"},
        {encodeExtended(longLog), "in 2.0 s: 772 bytes; extended 1=1; 256 stray bytes"},
        {{}, "in 2.0 s: 0 bytes"},
    };
    for (const auto& [bytes, summary] : rows) {
        doctor::FrameTally tally;
        tally.feed(bytes.data(), bytes.size() / 2);  // in two reads: a frame spans them
        tally.feed(bytes.data() + bytes.size() / 2, bytes.size() - bytes.size() / 2);
        EXPECT_EQ(tally.summary(2.0), summary) << hexText(bytes);
    }
}

// Records as the usual hex tools write them: 16 bytes at 0x0100 and 0x0110.
constexpr char kData100[] = ":10010000214601360121470136007EFE09D2190140";
constexpr char kData110[] = ":100110002146017E17C20001FF5F16002148011928";
constexpr char kEnd[] = ":00000001FF";

std::string lines(const std::vector<std::string>& records, const char* end = "\n") {
    std::string text;
    for (const std::string& record : records) text += record + end;
    return text;
}

TEST(DoctorImageReader, GoodImagesGiveRecordsAndAddressRange) {
    struct Row {
        const char* what;
        std::string text;
        size_t records, dataBytes;
        uint64_t lowest, highest;
    };
    const Row rows[] = {
        {"two data records", lines({kData100, kData110, kEnd}), 3, 32, 0x100, 0x11F},
        {"extended linear address, start address, CR LF, empty lines",
         lines({":020000040800F2", kData100, "", ":04000005000000CD2A", kEnd, ""}, "\r\n"), 4, 16,
         0x08000100, 0x0800010F},
        {"extended segment address, lower case, out of order, no last line feed",
         lines({":020000021200EA", ":100110002146017e17c20001ff5f16002148011928", kData100}) + kEnd,
         4, 32, 0x12100, 0x1211F},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        doctor::HexSummary whole = doctor::readIntelHex(row.text);
        EXPECT_EQ(whole.verdict, doctor::HexVerdict::Valid) << whole.line << ": " << whole.why;
        EXPECT_EQ(whole.records, row.records);
        EXPECT_EQ(whole.dataBytes, row.dataBytes);
        EXPECT_EQ(whole.lowestAddress, row.lowest);
        EXPECT_EQ(whole.highestAddress, row.highest);
        doctor::IntelHexReader byteByByte;  // as a file arrives, in pieces
        for (char c : row.text) byteByByte.feed(&c, 1);
        doctor::HexSummary pieces = byteByByte.finish();
        EXPECT_EQ(pieces.verdict, whole.verdict);
        EXPECT_EQ(pieces.records, whole.records);
        EXPECT_EQ(pieces.highestAddress, whole.highestAddress);
    }
}

TEST(DoctorImageReader, DamagedImagesNameTheLineAndOtherFilesAreNotIntelHex) {
    using doctor::HexVerdict;
    constexpr HexVerdict kDamaged = HexVerdict::Damaged, kNotHex = HexVerdict::NotIntelHex;
    std::string longLine = ":" + std::string(10 << 20, '0');
    struct Row {
        const char* what;
        std::string text;
        HexVerdict verdict;
        size_t line;      // Damaged only
        const char* why;  // a text the reason must contain
    };
    const Row rows[] = {
        {"wrong checksum", lines({kData100, ":100110002146017E17C20001FF5F16002148011929", kEnd}),
         kDamaged, 2, "checksum 0x29, the record needs 0x28"},
        {"no end record", lines({kData100, kData110}), kDamaged, 2,
         "without its end-of-file record"},
        {"cut inside a record", lines({kData100}) + ":10011000214601", kDamaged, 2,
         "length field says 16 data bytes, the line holds 2"},
        {"wrong record length", lines({":0F010000214601360121470136007EFE09D2190141", kEnd}),
         kDamaged, 1, "length field says 15 data bytes, the line holds 16"},
        {"unknown record type", lines({kData100, ":00000006FA", kEnd}), kDamaged, 2,
         "unknown record type 0x06"},
        {"binary bytes", lines({kData100, std::string(":10\0\xFF", 5), kEnd}), kDamaged, 2,
         "byte 0x00 at column 4 is not a hex digit"},
        {"a 10 MB line", lines({kData100, longLine, kEnd}), kDamaged, 2, "longer than any record"},
        {"a comment among the records", lines({kData100, "; version 1.6.25", kEnd}), kDamaged, 2,
         "does not start with ':'"},
        {"odd number of digits", lines({kData100, ":00000001F"}), kDamaged, 2, "odd"},
        {"too short", lines({kData100, ":00000001", kEnd}), kDamaged, 2, "too short"},
        {"address record of one byte", lines({":0100000400FB", kData100, kEnd}), kDamaged, 1,
         "record type 0x04 with 1 data bytes instead of 2"},
        {"end record with data", lines({kData100, ":01000001AA54"}), kDamaged, 2,
         "record type 0x01 with 1"},
        {"a record after the end", lines({kData100, kEnd, "", kData110}), kDamaged, 4,
         "after the end-of-file record of line 2"},
        {"no data at all", lines({kEnd}), kDamaged, 1, "not one data byte"},
        {"empty file", "", kDamaged, 1, "no record at all"},
        {"a comment first", lines({"; version 1.6.25", kEnd}), kNotHex, 0, ""},
        {"a binary image", std::string("\177ELF\1\1\1\0:", 9), kNotHex, 0, ""},
        {"one long binary line", std::string(10 << 20, '\xAA'), kNotHex, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        doctor::IntelHexReader reader;  // in a file's read size, as the doctor reads
        for (size_t at = 0; at < row.text.size(); at += 4096)
            reader.feed(row.text.data() + at, std::min<size_t>(4096, row.text.size() - at));
        doctor::HexSummary summary = reader.finish();
        EXPECT_EQ(summary.verdict, row.verdict);
        if (row.verdict != kDamaged) continue;
        EXPECT_EQ(summary.line, row.line) << summary.why;
        EXPECT_NE(summary.why.find(row.why), std::string::npos) << summary.why;
    }
}

TEST(DoctorImageReader, Sha256OfTheStandardVectors) {
    struct Row {
        std::string text;
        size_t piece;  // fed in pieces of this size
        const char* digest;
    };
    const Row rows[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 997,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Row& row : rows) {
        doctor::Sha256 digest;
        for (size_t at = 0; at < row.text.size(); at += row.piece) {
            digest.update(reinterpret_cast<const uint8_t*>(row.text.data()) + at,
                          std::min(row.piece, row.text.size() - at));
        }
        EXPECT_EQ(digest.hexDigest(), row.digest) << row.text.size() << " bytes";
    }
}

}  // namespace
}  // namespace vantrel::test
