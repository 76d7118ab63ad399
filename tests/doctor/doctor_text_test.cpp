// The doctor's readers of text, on text recorded from panels, emulators and
// the kernel: daemon command lines as /proc gives them, SELinux contexts and
// denials, the board's bytes as the probe counts them; and its labels
// against the policy it ships with.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/paths.h"
#include "support/process_harness.h"
#include "tools/doctor/frame_tally.h"
#include "tools/doctor/init_file.h"
#include "tools/doctor/selinux.h"
#include "tools/proc/port_holders.h"
#include "wire/frames.h"

namespace vantrel::test {
namespace {

TEST(DoctorRecordedText, DaemonCommandLines) {
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

}  // namespace
}  // namespace vantrel::test
