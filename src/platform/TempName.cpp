// The temporary file names of CNewFile, the same on every platform.
#include <algorithm>
#include <random>

#include "platform/NewFile.h"

namespace rs232 {

std::string CNewFile::NewTempFileName() {
    static const char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::string name = kTempFilePrefix;
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    return name;
}

bool CNewFile::IsTempFileName(std::string_view name) {
    const std::string_view prefix = kTempFilePrefix;
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) return false;
    return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

}  // namespace rs232
