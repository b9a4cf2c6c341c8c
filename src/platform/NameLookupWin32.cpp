// Windows file systems ignore case themselves: a name is found as written.
#include "platform/NameLookup.h"

namespace rs232 {

bool ResolveIgnoringCase(const std::string& start, const std::string& rest, std::string& resolved,
                         std::string&, std::string&) {
    resolved = start + rest;
    return true;
}

}  // namespace rs232
