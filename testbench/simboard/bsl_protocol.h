// The simulated board's bootstrap-loader (BSL) protocol, spoken by the
// simulated board and the `bslsh` stand-in over the same serial device as the
// firmware protocol. It is this project's own small design: one command byte,
// one answer byte:
//
//   Entry   host sends ESC 'B' 'S' 'L' (1B 42 53 4C). A board running its
//           firmware switches to the bootstrap loader and answers nothing (a
//           real board is put there by its reset and test pins). A silent
//           board, or one already in the loader, ignores it.
//   Sync    host sends 80; the loader answers 90 (ACK). Nothing else answers
//           90 to a lone 80: the firmware ignores the byte, so "does the
//           loader answer" is "is the first byte after 80 a 90".
//   Erase   host sends 81; the loader erases the firmware and answers 90.
//   Flash   host sends 82 MAJ MIN PATCH SUM, SUM = (MAJ + MIN + PATCH) mod
//           256; the loader stores that firmware version and answers 90, or
//           A0 (NAK) when SUM is wrong or the flash was not erased first.
//   Reset   host sends 83; the loader answers 90 and starts the firmware: a
//           flashed board then runs that version in firmware mode; an erased,
//           unflashed board stays in the loader.
//
// In the loader every other byte is ignored (standard packets from the daemon
// are recorded by the simulated board but never answered). The version stays
// in the board object, so a later daemon start against the same board finds
// the flashed version.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vantrel::simboard {

constexpr uint8_t kBslEntry[] = {0x1B, 'B', 'S', 'L'};
constexpr uint8_t kBslSync = 0x80;
constexpr uint8_t kBslErase = 0x81;
constexpr uint8_t kBslFlash = 0x82;
constexpr uint8_t kBslReset = 0x83;
constexpr uint8_t kBslAck = 0x90;
constexpr uint8_t kBslNak = 0xA0;

// Raw mode at 115200 baud: how the board and bslsh each set their end of the
// pseudo-terminal.
void makeRaw(int fd);
// Writes all `size` bytes to the non-blocking `fd`, waiting up to `roomWait`
// for room in its buffer; with `steady`, the wait starts afresh whenever some
// bytes went out. False when a write fails or the wait runs out.
bool writeAll(int fd, const uint8_t* bytes, size_t size, std::chrono::milliseconds roomWait,
              bool steady);

// SUM of the flash command.
constexpr uint8_t bslFlashSum(uint8_t major, uint8_t minor, uint8_t patch) {
    return static_cast<uint8_t>(major + minor + patch);
}

}  // namespace vantrel::simboard
