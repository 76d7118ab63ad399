// Takes the daemon's broadcast command lines instead of a shell: its
// runShellCommand() is wrapped at link time (-Wl,--wrap, see CMakeLists.txt),
// so no shell and no `am` ever runs. Each line is checked against the
// message in rxBuffer it was built from; anything else aborts:
//
//   am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version <d>.<d>.<d>
//   am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType <d>
//       --ei tagDataType <d> --es tagData <upper-case hex pairs>
//
// <d> is a decimal byte without leading zeros, and the whole line is shorter
// than 512 bytes.
#pragma once

#include <cstddef>

namespace vantrel::fuzz {

size_t broadcastCount();
void resetBroadcastCount();

}  // namespace vantrel::fuzz
