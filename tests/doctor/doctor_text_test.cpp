// The doctor's readers of text, on text recorded from panels, emulators and
// the kernel: daemon command lines as /proc gives them, the daemon's log
// records, SELinux contexts and denials; and its labels against the policy
// it ships with.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/process_harness.h"
#include "tools/doctor/daemon_log.h"
#include "tools/doctor/selinux.h"
#include "tools/proc/port_holders.h"

namespace vantrel::test {
namespace {

TEST(DoctorRecordedText, DaemonCommandLines) {
    using Args = std::vector<std::string>;
    const std::pair<Args, std::optional<Args>> rows[] = {
        {{"/vendor/bin/vantrel", "-d", "-m", "-l"}, Args{"-d", "-m", "-l"}},
        {{"/usr/bin/qemu-arm", "/b/vantrel-traced", "/b/vantrel-traced", "-m"}, Args{"-m"}},
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

struct LogRow {
    const char* log;  // as the doctor reads it
    doctor::Phase phase;
    int failedAttempt;
    bool startSeen;
    size_t earlierLines;
    std::map<doctor::Tally, int> counts;  // the others are 0
    doctor::Tally repeated;               // the trouble the log ends with (3 times or more)
};

TEST(DoctorRecordedText, DaemonLogPhasesAndCounts) {
    using doctor::Phase;
    namespace d = doctor;
    constexpr char kFifo[] = "/r/data/pipeProx";
    const LogRow rows[] = {
        // a run that crashed while checksums failed, then this run receiving
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
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
         "E/Vantrel: readPacket: checksum failure rec[0x01] cal[0x02]\n",
         Phase::Receiving,
         0,
         true,
         4,
         {{d::kChecksumFailures, 1}, {d::kVersionBroadcasts, 1}, {d::kNfcEvents, 1}},
         d::kNoTally},
        // logcat -v brief on the panel: the tag padded to 8, other tags, CR LF
        {"--------- beginning of main\r\n"
         "D/Vantrel ( 2211): openPipe Fifo [/r/data/pipeProx] created successfully.\r\n"
         "I/ActivityManager(  612): id query command attempt 9 failed\r\n"
         "D/Vantrel ( 2211): Unknown packet received: start byte is [0x41]\r\n"
         "E/Vantrel ( 2211): id query command attempt 1 failed\r\n"
         "E/Vantrel( 2211): id query command attempt 2 failed\r\n",
         Phase::Identifying,
         2,
         true,
         0,
         {{d::kStrayLeadBytes, 1}},
         d::kNoTally},
        // the board at another version, bslsh cannot flash it, daemon mode
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "I/Vantrel: Sensor version [1.6.24] != Required version [1.6.25]. Do upgrade.\n"
         "I/Vantrel: Waiting for bslUpgrade..\n"
         "I/Vantrel: bspUpgrade ret = 1\n"
         "E/Vantrel: Upgrade Failed!\n"
         "E/Vantrel: Communication Error!\n"
         "E/Vantrel: Sleeping 60 seconds before restart...\n",
         Phase::CommError,
         0,
         true,
         0,
         {},
         d::kNoTally},
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "I/Vantrel: Sensor version [1.6.24] != Required version [1.6.25]. Do upgrade.\n"
         "I/Vantrel: Waiting for bslUpgrade..\n",
         Phase::Flashing,
         0,
         true,
         0,
         {},
         d::kNoTally},
        // ten failed attempts, then the loader is asked
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "E/Vantrel: id query command attempt 10 failed\n"
         "I/Vantrel: Can't communicate with sensor fw, so trying BSL..\n"
         "I/Vantrel: Waiting for bslCommCheck..\n",
         Phase::CheckingLoader,
         10,
         true,
         0,
         {},
         d::kNoTally},
        // a line being written is not read; the last whole one is the hang-up
        {"I/Vantrel: com.zyn.vantrel.nfc off\n"
         "E/Vantrel: readData()::serial port hung up\n"
         "E/Vantrel: readData()::serial port hung up\n"
         "E/Vantrel: readData()::sel",
         Phase::HungUp,
         0,
         false,
         0,
         {{d::kHangUps, 2}},
         d::kNoTally},
        // SIGINT in the receive wait: what follows does not undo the ending
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "I/Vantrel: Setting NFC on\n"
         "E/Vantrel: Signal <2> Caught!\n"
         "E/Vantrel: readData()::select failed : -1 (Interrupted system call)\n"
         "E/Vantrel: readData()::select timedout!\n",
         Phase::EndingSigint,
         0,
         true,
         0,
         {{d::kReceiveTimeouts, 1}},
         d::kNoTally},
        // a quiet link: the board's own log text does not break the row
        {"E/Vantrel: readData()::select timedout!\n"
         "E/Vantrel: readData()::select timedout!\n"
         "D/Vantrel: TavrixLog: [adc ok]\n"
         "E/Vantrel: readData()::select timedout!\n",
         Phase::Receiving,
         0,
         false,
         0,
         {{d::kReceiveTimeouts, 3}},
         d::kReceiveTimeouts},
        // records on standard error, among the daemon's console lines (and a
        // record's text without its prefix, which is not a record)
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n"
         "readData()::select timedout!\n"
         "Setting LED on\n"
         "nfc command failed\n"
         "led command failed\n"
         "E/Vantrel: readData()::failed to parseStandardData()\n"
         "Unknown lead in byte [0x41]\n"
         "Unknown lead in byte [0x42]\n"
         "Unknown lead in byte [0x43]\n",
         Phase::Receiving,
         0,
         true,
         0,
         {{d::kFailedNfcCommands, 1},
          {d::kFailedLedCommands, 1},
          {d::kParseFailures, 1},
          {d::kStrayLeadBytes, 3}},
         d::kStrayLeadBytes},
        // another root's FIFO starts no run here; nothing names a phase
        {"D/Vantrel: Pipe [/other/data/pipeProx] already exists.\n"
         "I/Vantrel: UPDATE_VERSION broadcase: am broadcast -a x --es version 1.6.25\n",
         Phase::Unknown,
         0,
         false,
         0,
         {{d::kVersionBroadcasts, 1}},
         d::kNoTally},
        {"D/Vantrel: Pipe [/r/data/pipeProx] already exists.\n",
         Phase::Starting,
         0,
         true,
         0,
         {},
         d::kNoTally},
        {"", Phase::Unknown, 0, false, 0, {}, d::kNoTally},
    };
    for (const LogRow& row : rows) {
        SCOPED_TRACE(row.log);
        d::RunLines run = d::currentRun(d::daemonLines(row.log), kFifo);
        d::Activity activity = d::readActivity(run);
        EXPECT_EQ(activity.phase, row.phase);
        EXPECT_EQ(activity.failedAttempt, row.failedAttempt);
        EXPECT_EQ(run.startSeen, row.startSeen);
        EXPECT_EQ(run.earlierLines, row.earlierLines);
        for (int tally = 0; tally < d::kTallyCount; ++tally) {
            auto expected = row.counts.find(static_cast<d::Tally>(tally));
            EXPECT_EQ(activity.counts[tally], expected == row.counts.end() ? 0 : expected->second)
                << d::tallyName(static_cast<d::Tally>(tally));
        }
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
         "comm=\"vantrel\" "
         "name=\"ttymxc1\" dev=\"tmpfs\" ino=88 scontext=u:r:vantrel:s0 "
         "tcontext=u:object_r:device:s0 "
         "tclass=chr_file permissive=0\n",
         {"vantrel -> device chr_file { read write } \"ttymxc1\""}},
        {"avc: denied { open } for comm=\"sh\" scontext=u:r:shell:s0 "
         "tcontext=u:object_r:vantrel_pipe_file:s0 tclass=fifo_file\n"
         "avc: denied { read } for scontext=u:r:untrusted_app:s0 "
         "tcontext=u:object_r:app_data_file:s0 "
         "tclass=file\navc: granted { read } for scontext=u:r:vantrel:s0 "
         "tcontext=u:object_r:vantrel_firmware_file:s0 tclass=file\n",
         {"shell -> vantrel_pipe_file fifo_file { open }"}},
        {"audit: avc: denied { write } for name=\"value\" scontext=u:r:vantrel:s0 "
         "tcontext=u:object_r:sysfs:s0 tclass=file\ninit: Service 'vantrel' exited with status 1\n",
         {"vantrel -> sysfs file { write } \"value\""}},
    };
    for (const auto& [log, denials] : logs) EXPECT_EQ(doctor::daemonDenials(log), denials) << log;

    // The doctor's labels are the ones the policy gives.
    const std::pair<const char*, std::string> policy[] = {
        {"vantrel.te", "type " + std::string(doctor::kDaemonDomain) + ", domain;"},
        {"file_contexts", "/dev/ttymxc1                              u:object_r:" +
                              std::string(doctor::kTtyType) + ":s0"},
        {"genfs_contexts", "u:object_r:" + std::string(doctor::kResetLineType) + ":s0"},
    };
    for (const auto& [file, line] : policy) {
        EXPECT_NE(
            readWhole(std::string(VANTREL_SOURCE_DIR) + "/android/sepolicy/" + file).find(line),
            std::string::npos)
            << file << " lacks: " << line;
    }
    for (const char* type : doctor::kPolicyTypes) {
        EXPECT_NE(
            readWhole(std::string(VANTREL_SOURCE_DIR) + "/android/sepolicy/vantrel.te").find(type),
            std::string::npos)
            << type;
    }
}

}  // namespace
}  // namespace vantrel::test
