// Who holds a device open, for telling the operator which program to close.
#pragma once

#include <string>

namespace rs232 {

// The process holding `device` open as far as this machine tells: the live process named by a
// lock file /run/lock/LCK..<name> (or /var/lock/LCK..<name>), else the first other process with
// the device among its open files in /proc (only the processes we may look into). 0 when none.
int FindDeviceHolder(const std::string& device);

}  // namespace rs232
