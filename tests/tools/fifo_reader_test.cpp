// The one FIFO reader (tools/fifo) on a FIFO of its own, written the way the
// daemon writes: open, write, close for every value. A value may come in
// pieces; a reader or a writer that goes away in mid-value must not shift
// the values after it.
#include "tools/fifo/fifo_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kQuiet = 30ms;

Bytes bytesOf(std::initializer_list<int32_t> values) {
    Bytes bytes(values.size() * sizeof(int32_t));
    memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}

// One write through a write end of its own, closed after it, as the daemon does.
void writeOnce(const std::string& path, const Bytes& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

class FifoReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdtemp(dir.data()), dir.data());
        fifo = std::string(dir.data()) + "/pipeProx";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir.data()); }

    std::string dir = "/tmp/vantrel-fifo-XXXXXX";
    std::string fifo;
};

// What happens between the reader and the FIFO, in order.
struct Step {
    enum Kind { Write, Read, Drain, ReaderLeaves } kind;
    Bytes bytes = {};  // Write only
};
const Step kRead{Step::Read}, kDrain{Step::Drain}, kLeave{Step::ReaderLeaves};

// A write of bytes [from, to) of `bytes`.
Step put(const Bytes& bytes, size_t from = 0, size_t to = SIZE_MAX) {
    return {Step::Write, Bytes(bytes.begin() + from, bytes.begin() + std::min(to, bytes.size()))};
}

// Takes one step; the values it read.
std::vector<int32_t> take(const Step& step, const std::string& path, fifo::FifoReader& reader) {
    std::string error;
    switch (step.kind) {
        case Step::Write:
            writeOnce(path, step.bytes);
            break;
        case Step::Read:
            return reader.readValues();
        case Step::Drain:
            return reader.drainValues(kQuiet);
        case Step::ReaderLeaves:
            reader.close();
            EXPECT_TRUE(reader.open(path, &error)) << error;
            break;
    }
    return {};
}

TEST_F(FifoReaderTest, ValuesKeepTheirPlaceAndAGoneWriterIsNoEndOfFile) {
    const Bytes one = bytesOf({1030}), two = bytesOf({-2, 77});
    const struct {
        const char* what;
        std::vector<Step> steps;
        std::vector<int32_t> expected;
    } rows[] = {
        {"whole values", {put(bytesOf({1030, -2, 77})), kRead}, {1030, -2, 77}},
        {"a value in pieces of 2 and 2, read between them",
         {put(one, 0, 2), kRead, put(one, 2), put(two), kRead},
         {1030, -2, 77}},
        {"pieces of 1 and 3", {put(one, 0, 1), kRead, put(one, 1), kRead}, {1030}},
        {"pieces of 3 and 1, then whole values",
         {put(one, 0, 3), kRead, put(bytesOf({1030, -2}), 3, 6), kRead, put(two, 2), kRead},
         {1030, -2, 77}},
        {"the reader leaves after 2 of the 4 bytes and comes back",
         {put(one, 0, 2), kRead, kLeave, put(two), kRead},
         {-2, 77}},
        {"the writer goes away after 2 of the 4 bytes",
         {put(one, 0, 2), kDrain, put(two), kDrain},
         {-2, 77}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fifo::FifoReader reader;
        std::string error;
        ASSERT_TRUE(reader.open(fifo, &error)) << error;
        std::vector<int32_t> got;
        for (const Step& step : row.steps) {
            std::vector<int32_t> more = take(step, fifo, reader);
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_EQ(got, row.expected);
        // The monitor polls the descriptor itself: after the writer has gone, the
        // reader's own write end keeps the FIFO from reading as hung up.
        struct pollfd readable = {reader.descriptor(), POLLIN, 0};
        ASSERT_GE(poll(&readable, 1, 0), 0);
        EXPECT_EQ(readable.revents, 0);
        EXPECT_FALSE(reader.waitReadable(kQuiet));
    }
}

TEST_F(FifoReaderTest, OpenSaysWhyItCannotRead) {
    std::string file = std::string(dir.data()) + "/plain";
    std::ofstream(file) << "x";
    const struct {
        std::string path;
        const char* expected;
    } rows[] = {
        {file, " is not a FIFO"},
        {std::string(dir.data()) + "/missing", ": No such file or directory"},
    };
    for (const auto& row : rows) {
        fifo::FifoReader reader;
        std::string error;
        EXPECT_FALSE(reader.open(row.path, &error));
        EXPECT_FALSE(reader.isOpen());
        EXPECT_EQ(error, row.path + row.expected);
    }
}

}  // namespace
}  // namespace vantrel::test
