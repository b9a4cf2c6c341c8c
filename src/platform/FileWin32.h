// What the Win32 file sources share. Descriptors are C runtime descriptors over Win32 handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/FileOps.h"
#include "platform/StatMap.h"

namespace rs232::detail {

uint8_t AttributesOfWin32(unsigned long attributes);
// Opens with CreateFileW; regularOnly refuses a directory (EISDIR); a device is refused always.
int OpenHandle(const std::string& path, unsigned long access, unsigned long share,
               unsigned long disposition, bool regularOnly);
void* HandleOf(int fd);
bool WriteAllHandle(int fd, const char* data, size_t count);
bool StatusOfHandle(void* handle, CFileStatus& status);

}  // namespace rs232::detail
