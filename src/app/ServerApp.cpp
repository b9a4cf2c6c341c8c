#include "app/ServerApp.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "app/CommandLine.h"
#include "platform/TextFormat.h"

namespace rs232 {

std::string InstanceMarkerName(int port) { return FormatText("Zelvo Quillet RS232 %d", port); }

bool ClaimInstanceMarker(int port) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    const std::string name = InstanceMarkerName(port);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name without a terminator.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0)
        return true;  // fd stays open, and with it the marker, until the process ends
    const int error = errno;
    close(fd);
    return error != EADDRINUSE;
}

int CServerApp::InitInstance(const std::string& commandLine) {
    if (auto refusal = CheckCommandLine(commandLine)) {
        m_shell.MessageBox(*refusal);
        return 1;
    }
    const int port = ReadPortField(commandLine);
    if (!ClaimInstanceMarker(port)) {
        m_shell.MessageBox(FormatText("Program already running on port %d !", port));
        return 1;
    }
    return m_shell.RunMainWindow(commandLine);
}

}  // namespace rs232
