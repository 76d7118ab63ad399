// The sensor pipes: creating the FIFOs, writing values without ever blocking,
// and surviving a reader that leaves.
#include "messages/sensor_pipes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/signals.h"
#include "tests/unit/unit_fixture.h"

namespace vantrel::test {
namespace {

using Lines = std::vector<std::string>;

bool sigpipePending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

class SensorPipesTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        makeDirectory("/data");
    }
    std::string lightPath() const { return rootPath("/data/pipeLight"); }
    std::string proximityPath() const { return rootPath("/data/pipeProx"); }
};

TEST_F(SensorPipesTest, OpenPipeCreatesFifoForEveryone) {
    umask(077);
    std::string path = proximityPath();
    EXPECT_EQ(openPipe(path.c_str()), 0);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    EXPECT_EQ(umask(022), 0u) << "the creation mask stays 0 for the daemon's children";
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: openPipe Fifo [" + path + "] created successfully."}));
}

TEST_F(SensorPipesTest, ExistingPathIsKeptAsItIs) {
    writeFile("/data/pipeLight", "a regular file");
    std::string path = lightPath();
    EXPECT_EQ(openPipe(path.c_str()), 0);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(readFile("/data/pipeLight"), "a regular file");
    EXPECT_EQ(logLines(), (Lines{"D/Vantrel: Pipe [" + path + "] already exists."}));
}

TEST_F(SensorPipesTest, MissingDirectoryIsReported) {
    std::string path = rootPath("/nowhere/pipeProx");
    EXPECT_EQ(openPipe(path.c_str()), -1);
    EXPECT_EQ(logLines(), (Lines{"E/Vantrel: Error creating pipe [" + path +
                                 "]: errno=0x00000002 (No such file or directory)"}));
}

TEST_F(SensorPipesTest, ValueArrivesAsFourBytesInHostOrder) {
    FifoReader reader(lightPath());
    writePipe(kPipeLight, 258);
    uint8_t bytes[8] = {};
    EXPECT_EQ(read(reader.fd(), bytes, sizeof bytes), 4);
    EXPECT_EQ(bytes[0], 0x02);
    EXPECT_EQ(bytes[1], 0x01);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[3], 0x00);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SensorPipesTest, ValueWithoutReaderIsDropped) {
    ASSERT_EQ(mkfifo(lightPath().c_str(), 0666), 0);
    writePipe(kPipeLight, 1);  // would block forever if the open waited for a reader
    FifoReader reader(lightPath());
    writePipe(kPipeLight, 2);
    EXPECT_EQ(reader.values(), std::vector<int32_t>{2});
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SensorPipesTest, MissingPathIsNotCreated) {
    writePipe(kPipeProximity, 5);
    EXPECT_FALSE(fileExists("/data/pipeProx"));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SensorPipesTest, RegularFileGetsItsFirstFourBytesOverwritten) {
    writeFile("/data/pipeLight", "ABCDEFGH");
    writePipe(kPipeLight, 258);
    EXPECT_EQ(readFile("/data/pipeLight"), std::string("\x02\x01\x00\x00"
                                                       "EFGH",
                                                       8));
    writePipe(kPipeLight, 0x34333231);
    EXPECT_EQ(readFile("/data/pipeLight"), "1234EFGH");
}

// A stalled reader: what does not fit is dropped without blocking, what is in
// the FIFO stays in order, and values written after the reader made room follow.
TEST_F(SensorPipesTest, FullFifoDropsValuesAndKeepsOrder) {
    FifoReader reader(lightPath());
    fcntl(reader.fd(), F_SETPIPE_SZ, 4096);
    int capacity = fcntl(reader.fd(), F_GETPIPE_SZ) / 4;
    ASSERT_GT(capacity, 0);
    for (int value = 0; value < capacity + 100; ++value) writePipe(kPipeLight, value);

    std::vector<int32_t> values = reader.values();
    ASSERT_EQ(values.size(), static_cast<size_t>(capacity));
    for (int i = 0; i < capacity; ++i) ASSERT_EQ(values[i], i);

    writePipe(kPipeLight, 5000);
    writePipe(kPipeLight, 5001);
    EXPECT_EQ(reader.values(), (std::vector<int32_t>{5000, 5001}));
}

class SigpipeTest : public SensorPipesTest {
  protected:
    void SetUp() override {
        SensorPipesTest::SetUp();
        sigprocmask(SIG_SETMASK, nullptr, &savedMask_);
        blockSigpipe();
    }
    void TearDown() override {
        consumePendingSigpipe();
        sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
        SensorPipesTest::TearDown();
    }
    sigset_t savedMask_;
};

TEST_F(SigpipeTest, BrokenPipeSignalIsHeldAndTakenBack) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_TRUE(sigpipePending());
    consumePendingSigpipe();
    EXPECT_FALSE(sigpipePending());
    close(ends[1]);
}

// A reader that keeps opening and closing the FIFO leaves between many of the
// daemon's opens and writes; every such write fails with EPIPE. The process
// must live through it with no SIGPIPE left pending.
TEST_F(SigpipeTest, WritePipeSurvivesReaderLeaving) {
    std::string path = lightPath();
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) close(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    });
    bool pendingSeen = false;
    for (int i = 0; i < 20000 && !pendingSeen; ++i) {
        writePipe(kPipeLight, i);
        pendingSeen = sigpipePending();
    }
    stop = true;
    reader.join();
    EXPECT_FALSE(pendingSeen) << "a SIGPIPE was left pending after writePipe";
    EXPECT_TRUE(logLines().empty());
}

}  // namespace
}  // namespace vantrel::test
