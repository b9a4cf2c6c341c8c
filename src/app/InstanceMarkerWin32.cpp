// The marker of a port on Windows: the named mutex, held until the process ends (the system
// releases it then, however the process ends).
#include "app/ServerApp.h"

#include <windows.h>

namespace rs232 {

bool ClaimInstanceMarker(int port) {
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, InstanceMarkerName(port).c_str());
    if (!mutex) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return true;  // the handle stays open
    CloseHandle(mutex);
    return false;
}

}  // namespace rs232
