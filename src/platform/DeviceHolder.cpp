#include "platform/DeviceHolder.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace rs232 {

namespace {

bool Alive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// A lock file holds the PID as a binary int (exactly its four bytes) or as text (ten
// characters, blank-padded, and a line feed).
int PidFromLockFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    int pid = 0;
    if (text.size() == sizeof pid)
        std::memcpy(&pid, text.data(), sizeof pid);
    else
        pid = static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
    return pid;
}

int PidFromProc(const struct stat& target) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    const int self = static_cast<int>(::getpid());
    int holder = 0;
    while (const dirent* p = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (*end || pid <= 0 || pid == self) continue;
        const std::string fdDir = std::string("/proc/") + p->d_name + "/fd/";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) continue;  // gone meanwhile, or not ours to look into
        while (const dirent* f = ::readdir(fds)) {
            struct stat st {};
            if (f->d_name[0] == '.' || ::stat((fdDir + f->d_name).c_str(), &st) != 0) continue;
            if (st.st_rdev == target.st_rdev && st.st_ino == target.st_ino &&
                st.st_dev == target.st_dev) {
                holder = static_cast<int>(pid);
                break;
            }
        }
        ::closedir(fds);
        if (holder) break;
    }
    ::closedir(proc);
    return holder;
}

}  // namespace

int FindDeviceHolder(const std::string& device) {
    const size_t slash = device.rfind('/');
    const std::string name = slash == std::string::npos ? device : device.substr(slash + 1);
    for (const char* dir : {"/run/lock/", "/var/lock/"}) {
        const int pid = PidFromLockFile(dir + std::string("LCK..") + name);
        if (pid != static_cast<int>(::getpid()) && Alive(pid)) return pid;
    }
    struct stat target {};
    if (::stat(device.c_str(), &target) != 0) return 0;
    return PidFromProc(target);
}

}  // namespace rs232
