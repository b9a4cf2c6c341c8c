// A real ser2net on loopback for the tests of network lines.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/Process.h"
#include "support/TempDir.h"

namespace rs232::test {

using namespace std::chrono_literals;

// A TCP socket bound to 127.0.0.1:port (0: one the kernel picks), open to address reuse: the bind
// fails only while a listener has the port. -1 then.
inline int LoopbackSocket(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

// One ser2net serving one device on 127.0.0.1, on a port the kernel picks and the test keeps
// bound (not listening; ser2net's listener reuses the address) for its whole life: no other
// program is given the port while ser2net is down for a restart. mode is the URL's scheme; a
// +tls mode takes the ssl gensio's options and the test certificates' authdir.
class CSer2net {
public:
    CSer2net(const CTempDir& dir, const std::string& mode, const std::string& device,
             const std::string& ssl = {}, const std::string& authdir = {})
        : m_mode(mode), m_device(device), m_ssl(ssl), m_authdir(authdir) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(m_hold, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_config = dir / ("ser2net-" + std::to_string(m_port) + ".yaml");
        Start();
    }
    ~CSer2net() { close(m_hold); }
    std::string Url() const { return m_mode + "://127.0.0.1:" + std::to_string(m_port); }
    std::string Err() const { return m_child->Err(); }
    void Kill() { m_child.reset(); }
    void Start() {
        std::ofstream(m_config) << "%YAML 1.1\n---\nconnection: &line\n  accepter: "
                                << (m_mode.starts_with("rfc2217") ? "telnet(rfc2217)," : "")
                                << (m_ssl.empty() ? "" : "ssl(" + m_ssl + "),") << "tcp,127.0.0.1,"
                                << m_port << "\n  connector: serialdev," << m_device
                                << ",9600n81,local\n  options:\n    authdir: "
                                << (m_authdir.empty() ? "/nonexistent" : m_authdir) << "\n";
        // Debian puts it in /usr/sbin, which a user's PATH may lack.
        const std::string program =
            std::filesystem::exists("/usr/sbin/ser2net") ? "/usr/sbin/ser2net" : "ser2net";
        m_child = std::make_unique<CChild>(std::vector<std::string>{program, "-n", "-d", "-u", "-c",
                                                                    m_config});
        const auto end = std::chrono::steady_clock::now() + 20s;
        for (int probe; (probe = LoopbackSocket(m_port)) >= 0; std::this_thread::sleep_for(10ms)) {
            close(probe);
            if (std::chrono::steady_clock::now() >= end || !m_child->Running()) throw std::runtime_error("ser2net did not listen: " + m_child->Err());
        }
    }

private:
    std::string m_mode, m_device, m_ssl, m_authdir, m_config;
    int m_hold = LoopbackSocket(0), m_port = 0;
    std::unique_ptr<CChild> m_child;
};

}  // namespace rs232::test
