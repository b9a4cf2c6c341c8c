#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rs232 {

std::string CanonicalPath(const std::string& path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit before ELOOP
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        absolute = std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + absolute;
    }
    // Resolve the longest prefix that exists; what follows it does not exist, holds no links
    // and is normalised as text. A link whose target does not exist is still followed: the
    // name stands for where it points.
    std::string prefix = absolute;
    std::string rest;
    char resolved[PATH_MAX];
    for (int links = 0;;) {
        if (realpath(prefix.c_str(), resolved)) break;
        struct stat st {};
        char target[PATH_MAX];
        if (links < kMaxLinks && ::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            const ssize_t n = ::readlink(prefix.c_str(), target, sizeof target);
            if (n > 0 && static_cast<size_t>(n) < sizeof target) {
                ++links;
                prefix = (target[0] == '/' ? "" : DirectoryOf(prefix)) + std::string(target, n);
                continue;
            }
        }
        const size_t slash = prefix.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            rest = prefix.substr(slash == 0 ? 1 : 0) + (rest.empty() ? "" : "/" + rest);
            std::strcpy(resolved, "/");
            break;
        }
        rest = prefix.substr(slash + 1) + (rest.empty() ? "" : "/" + rest);
        prefix.erase(slash);
    }
    return NormalPath(std::string(resolved) + "/" + rest);
}

std::string NormalPath(const std::string& path) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const char kDirSeparator = '/';

std::string SettingsPathOf(const std::string& executable) { return executable + ".ini"; }

bool EndsInSeparator(const std::string& path) { return path.ends_with('/'); }

std::string DefaultStatusDir() { return "/run/rs232-server"; }

std::string ExecutablePath() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

}  // namespace rs232
