#include "platform/StatMap.h"

#include <climits>

#include "wire/Wire.h"

namespace rs232::detail {

using namespace wire;

uint8_t AttributesOf(const struct stat& st, std::string_view name) {
    uint8_t attrib = 0;
    if (S_ISDIR(st.st_mode))
        attrib |= kAttrDirectory;
    else if (S_ISREG(st.st_mode))
        attrib |= kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) attrib |= kAttrReadOnly;

    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    const size_t slash = name.rfind('/');
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name.starts_with('.') && name != "." && name != "..") attrib |= kAttrHidden;
    return attrib;
}

int32_t ClampSize(int64_t size) {
    if (size > INT32_MAX) return INT32_MAX;
    if (size < 0) return 0;
    return static_cast<int32_t>(size);
}

int32_t ClampTime(int64_t seconds) {
    if (seconds > INT32_MAX) return INT32_MAX;
    if (seconds < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(seconds);
}

}  // namespace rs232::detail
