// The serial link to the sensor board: 115200 baud, 8N1, raw, no flow
// control. The open descriptor lives in DaemonState.serialFd. Every read of
// the port asks for exactly one byte; time limits come only from select().
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// Opens and configures `path`. Returns the descriptor (also when the terminal
// settings could not be applied), or the negative result of the failed open.
int openSerial(const char* path, uint32_t controlFlags, uint32_t speedFlags);

// Closes serialFd when it is above 0 and marks it -1.
void closeSerial();

// Closes any open port, then opens the selected device with the link's
// settings; the result is stored in serialFd (also when negative).
int reopenSerial();

// The device reopenSerial() opens: the one set by selectSerialDevice(), else
// the fixed UART path (under the path root on a host).
const char* serialDevice();

// Chooses the device for reopenSerial() and the bootstrap-loader tool. The
// text must outlive its use; nullptr goes back to the fixed UART path.
void selectSerialDevice(const char* path);

// Reads `count` bytes; stops early at end of file. Returns the bytes read, or
// the negative result of a failed read.
long readAll(int fd, uint8_t* buffer, size_t count);

// Writes `count` bytes. Returns `count`, 0 when a write wrote nothing, or the
// negative result of a failed write.
long writeAll(int fd, const uint8_t* buffer, size_t count);

// Waits until `fd` is readable, at most the given time (scaled on a host).
// select()'s result: above 0 readable, 0 time out, below 0 failure (errno set).
int waitReadable(int fd, long seconds, long microseconds);

// Waits for one byte on serialFd, at most the given time. 1 when a byte was
// read into `buffer`, 0 otherwise (also at once when serialFd is negative).
int readByteTimeout(uint8_t* buffer, long seconds, long microseconds);

}  // namespace vantrel
