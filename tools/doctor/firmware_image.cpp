#include "tools/doctor/firmware_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/paths.h"
#include "firmware/image_marker.h"
#include "tools/doctor/doctor.h"
#include "tools/doctor/sha256.h"

namespace vantrel::doctor {

namespace {

constexpr size_t kReadChunk = 4096;

// Feeds the whole file to the reader and the digest. False on a read error.
bool readImage(int fd, FirmwareImage* image) {
    IntelHexReader reader;
    Sha256 digest;
    char chunk[kReadChunk];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        reader.feed(chunk, static_cast<size_t>(got));
        digest.update(reinterpret_cast<const uint8_t*>(chunk), static_cast<size_t>(got));
    }
    image->hex = reader.finish();
    image->sha256 = digest.hexDigest();
    return true;
}

ImageState stateOf(const HexSummary& hex) {
    if (hex.verdict == HexVerdict::Valid) return ImageState::Valid;
    return hex.verdict == HexVerdict::NotIntelHex ? ImageState::NotIntelHex : ImageState::Damaged;
}

}  // namespace

FirmwareImage examineFirmwareImage(const Identity& daemonUser) {
    FirmwareImage image;
    image.path = resolved(kPathFirmwareImage);
    auto judged = [&image](ImageState state, const std::string& problem) {
        image.state = state;
        image.problem = problem;
        return image;
    };
    struct stat node;
    if (stat(image.path.c_str(), &node) != 0) return judged(ImageState::Missing, strerror(errno));
    if (!S_ISREG(node.st_mode)) return judged(ImageState::Unreadable, "not a regular file");
    if (!modePermits(node, daemonUser, 4))
        return judged(ImageState::Unreadable, "not readable by " + daemonUser.name);
    if (isDevelopmentImage(image.path.c_str())) return judged(ImageState::DevelopmentMarker, "");
    int fd = open(image.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return judged(ImageState::Unreadable, std::string("cannot open: ") + strerror(errno));
    bool read = readImage(fd, &image);
    std::string readError = std::string("cannot read: ") + strerror(errno);
    close(fd);
    if (!read) return judged(ImageState::Unreadable, readError);
    image.state = stateOf(image.hex);
    if (image.state == ImageState::Damaged)
        image.problem = "line " + std::to_string(image.hex.line) + ": " + image.hex.why;
    return image;
}

std::string describeValidImage(const FirmwareImage& image) {
    char range[64];
    snprintf(range, sizeof range, "0x%08llX..0x%08llX",
             static_cast<unsigned long long>(image.hex.lowestAddress),
             static_cast<unsigned long long>(image.hex.highestAddress));
    return "Intel HEX: " + std::to_string(image.hex.records) + " records, data " + range + " (" +
           std::to_string(image.hex.dataBytes) + " bytes); sha256 " + image.sha256;
}

std::string shipReleaseImageAdvice() {
    std::string image = kPathFirmwareImage;
    std::string fileName = image.substr(image.find_last_of('/') + 1);
    return advice(
        "ship the release's image of firmware " + requiredFirmwareVersion() + " as " + image +
            ", readable by the daemon",
        "adb root; adb remount; adb push " + fileName + " " + image + " (the release's file)");
}

std::string compareWithReleaseAdvice() {
    return advice("ship the release's image of firmware " + requiredFirmwareVersion() + " as " +
                      kPathFirmwareImage,
                  std::string("adb shell sha256sum ") + kPathFirmwareImage +
                      ", and compare with the release's");
}

}  // namespace vantrel::doctor
