#include "platform/NameLookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>

namespace rs232 {

namespace {

enum class EMatch { Exact, Folded, None, Ambiguous };

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringAsciiCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return i == a.size() && !b[i];
}

// One directory scan, only when the name as written is not there.
EMatch FindEntry(const std::string& directory, const std::string& name, std::string& found) {
    const std::string dir = directory.empty() ? "." : directory;
    struct stat st {};
    if (::fstatat(AT_FDCWD, (dir + "/" + name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EMatch::Exact;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return EMatch::None;
    int matches = 0;
    while (const dirent* entry = ::readdir(d)) {
        if (!EqualIgnoringAsciiCase(name, entry->d_name)) continue;
        if (++matches == 1) found = entry->d_name;
    }
    ::closedir(d);
    if (matches > 1) return EMatch::Ambiguous;
    return matches == 1 ? EMatch::Folded : EMatch::None;
}

}  // namespace

bool ResolveIgnoringCase(const std::string& start, const std::string& rest, std::string& resolved,
                         std::string& ambiguous, std::string& directory) {
    resolved = start;
    bool lookingUp = true;  // false below a name that exists in no case
    size_t begin = 0;
    for (;;) {
        const size_t slash = rest.find('/', begin);
        const std::string name =
            rest.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
        const bool glued = !resolved.empty() && resolved.back() != '/';
        std::string found;
        if (!lookingUp || glued || name.empty() || name == "." || name == "..") {
            found = name;
        } else {
            switch (FindEntry(resolved, name, found)) {
                case EMatch::Exact: found = name; break;
                case EMatch::Folded: break;
                case EMatch::None:
                    found = name;
                    lookingUp = false;
                    break;
                case EMatch::Ambiguous:
                    ambiguous = name;
                    directory = resolved.empty() ? "./" : resolved;
                    return false;
            }
        }
        resolved += found;
        if (slash == std::string::npos) return true;
        resolved += '/';
        begin = slash + 1;
    }
}

}  // namespace rs232
