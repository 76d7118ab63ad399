#include "tools/doctor/fixes.h"

#include "common/paths.h"
#include "tools/doctor/doctor.h"
#include "tools/doctor/selinux.h"

namespace vantrel::doctor {

namespace {

const std::string kSerial = kPathSerialPort;
// "/dev/ttymxc*": every port of the UART's family, to see which ones exist.
const std::string kSerialFamily =
    kSerial.substr(0, kSerial.find_last_not_of("0123456789") + 1) + "*";
const std::string kValue = kPathResetLine;
// "/sys/class/gpio/gpio101/value": the line's folder, the GPIO class folder
// and the line's number, as the export file wants it.
const std::string kLineFolder = kValue.substr(0, kValue.rfind('/'));
const std::string kGpioClass = kLineFolder.substr(0, kLineFolder.rfind('/'));
const std::string kLineNumber = kLineFolder.substr(kLineFolder.rfind("gpio") + 4);

std::string ownedBySystem(const std::string& path) {
    return "adb shell chown system:system " + path + "; adb shell chmod 0660 " + path;
}

}  // namespace

std::string fixSerialMissing() {
    return advice("enable the UART in the device tree (status \"okay\") so that " + kSerial +
                      " appears at boot, or start the daemon with -p and the right device",
                  "adb shell ls -lZ " + kSerialFamily);
}

std::string fixSerialNotCharacterDevice() {
    return advice("remove what sits at " + kSerial + "; the kernel and ueventd make the node",
                  "adb shell ls -lZ " + kSerial);
}

std::string fixSerialAccess() {
    return advice("give the UART to the daemon's user in ueventd.rc: \"" + kSerial +
                      " 0660 system system\" (android/ueventd.rc)",
                  ownedBySystem(kSerial));
}

std::string fixSerialLabel() {
    return advice(std::string("label the node ") + kTtyType +
                      " (android/sepolicy/file_contexts) and see the selinux row",
                  "adb shell ls -lZ " + kSerial + "; adb shell restorecon " + kSerial);
}

std::string fixSerialNoPort() {
    return advice("no working UART behind the node: enable the port in the device tree",
                  "adb shell dmesg | grep -i tty");
}

std::string fixSerialNotTerminal() {
    return advice("start the daemon with -p and the UART itself: this node is no terminal",
                  "adb shell ls -lZ " + kSerial);
}

std::string fixResetNotExported() {
    return advice("export GPIO " + kLineNumber +
                      " as an output at boot (the board's init file: " + "write " + kGpioClass +
                      "/export " + kLineNumber + ", then write " + kLineFolder + "/direction out)",
                  "adb shell 'echo " + kLineNumber + " > " + kGpioClass + "/export; echo out > " +
                      kLineFolder + "/direction'");
}

std::string fixResetNotWritable() {
    return advice("give the value to the daemon's user in ueventd.rc: \"" + kLineFolder +
                      " value 0660 system system\" (android/ueventd.rc)",
                  ownedBySystem(kValue));
}

std::string fixResetNotOutput() {
    return advice("make the line an output at boot (the board's init file: write " + kLineFolder +
                      "/direction out)",
                  "adb shell 'echo out > " + kLineFolder + "/direction'");
}

std::string fixToolMissing(const char* name, const char* folder, const char* purpose) {
    return advice(
        std::string("install ") + name + " in " + folder + ", executable (" + purpose + ")",
        std::string("adb shell which ") + name);
}

std::string fixToolNotExecutable(const std::string& path) {
    return advice("install it executable (mode 0755) in the image", "adb shell chmod 0755 " + path);
}

std::string fixFolderMissing(const std::string& folder) {
    return advice("make the folder " + folder + ", writable by the daemon's user; the daemon " +
                      "makes its FIFOs there at start, not the folder",
                  "mkdir -p " + folder);
}

std::string fixFolderNotWritable(const std::string& folder) {
    return advice(
        "let the daemon's user write " + folder + " (on the panel /data is system:system 0771)",
        "adb shell ls -ldZ " + folder);
}

}  // namespace vantrel::doctor
