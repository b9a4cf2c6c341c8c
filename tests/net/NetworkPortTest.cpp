// Ports on a terminal server: a real ser2net on loopback with pseudo-terminals behind it, reached
// through tcp:// and rfc2217:// by the port itself, the real server and the real client.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/Line.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A TCP socket bound to 127.0.0.1:port (0: one the kernel picks), open to address reuse: the bind
// fails only while a listener has the port. -1 then.
int LoopbackSocket(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

// One ser2net serving one device on 127.0.0.1, on a port the kernel picks and the test keeps
// bound (not listening; ser2net's listener reuses the address) for its whole life: no other
// program is given the port while ser2net is down for a restart.
class CSer2net {
public:
    CSer2net(const CTempDir& dir, const std::string& mode, const std::string& device)
        : m_mode(mode), m_device(device), m_config(dir / (mode + "-ser2net.yaml")) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(m_hold, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        Start();
    }
    ~CSer2net() { close(m_hold); }
    std::string Url() const { return m_mode + "://127.0.0.1:" + std::to_string(m_port); }
    void Kill() { m_child.reset(); }
    void Start() {
        std::ofstream(m_config) << "%YAML 1.1\n---\nconnection: &line\n  accepter: "
                                << (m_mode == "rfc2217" ? "telnet(rfc2217),tcp" : "tcp")
                                << ",127.0.0.1," << m_port << "\n  connector: serialdev,"
                                << m_device << ",9600n81,local\n";
        // Debian puts it in /usr/sbin, which a user's PATH may lack.
        const std::string program =
            fs::exists("/usr/sbin/ser2net") ? "/usr/sbin/ser2net" : "ser2net";
        m_child = std::make_unique<CChild>(std::vector<std::string>{program, "-n", "-u", "-c",
                                                                    m_config});
        const auto end = Clock::now() + 20s;
        for (int probe; (probe = LoopbackSocket(m_port)) >= 0; std::this_thread::sleep_for(10ms)) {
            close(probe);
            if (Clock::now() >= end || !m_child->Running()) throw std::runtime_error("ser2net did not listen: " + m_child->Err());
        }
    }

private:
    std::string m_mode, m_device, m_config;
    int m_hold = LoopbackSocket(0), m_port = 0;
    std::unique_ptr<CChild> m_child;
};

speed_t DeviceSpeed(const std::string& path) {
    termios tio{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool ok = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? cfgetospeed(&tio) : B0;
}

// Every byte value, then a run of 0xFF: the Telnet escape must come out as one byte each way.
Bytes AllBytes() {
    Bytes bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    bytes.insert(bytes.end(), 600, 0xFF);
    return bytes;
}

// The server on one end of a null-modem and the client on the other, each through its own
// ser2net, one in each mode.
struct SNetworkLine : SLine {
    std::unique_ptr<CSer2net> serverSide, clientSide;
    SNetworkLine(const std::string& serverMode, const std::string& clientMode)
        : SLine({"--baud", "0"}),
          serverSide(std::make_unique<CSer2net>(dir, serverMode, a)),
          clientSide(std::make_unique<CSer2net>(dir, clientMode, b)) {}
};

// Both mode pairs carry an upload and a download of every byte value, and only rfc2217 sets the
// device's speed; a terminal server serves one connection, and a restart of the server's is
// reported as a loss, the port opened again and served; a terminal server that is gone is named.
TEST(NetworkPort, RequestsAndATerminalServerRestart) {
    const struct {
        const char* server;
        const char* client;
    } rows[] = {{"rfc2217", "tcp"}, {"tcp", "rfc2217"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.server) + " server, " + row.client + " client");
        SNetworkLine line(row.server, row.client);
        CTempDir base;
        CServer server(line.dir, line.serverSide->Url(), {base.Path()});
        ASSERT_TRUE(server.Started()) << server.Out() << server.Err();
        EXPECT_EQ(server.Out().find("are fixed by the terminal server") != std::string::npos,
                  std::string(row.server) == "tcp");
        const Bytes ff = AllBytes();
        std::ofstream(line.dir / "ff.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(ff.data()), std::streamsize(ff.size()));
        auto client = [&](const std::vector<std::string>& args) {
            const SRunResult r = line.Client(args, line.clientSide->Url());
            EXPECT_EQ(r.code, 0) << args[0] << ": " << r.out << r.err;
        };
        client({"put", "ff.bin", "ff.bin"});
        EXPECT_EQ(DeviceSpeed(line.a), std::string(row.server) == "tcp" ? B9600 : B57600);
        const std::string url = line.serverSide->Url();
        SRunResult second = line.Client({"--retries", "0", "date"}, url);
        EXPECT_NE(second.err.find("the far end closed the connection"), std::string::npos) << second.err;
        line.serverSide->Kill();
        EXPECT_TRUE(server.WaitFor(" lost, waiting for it to return\n", 60s)) << server.Out();
        line.serverSide->Start();
        EXPECT_TRUE(server.WaitFor(" reopened\n", 60s)) << server.Out();
        client({"get", "ff.bin", "back.bin"});
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(std::ifstream(line.dir / "back.bin", std::ios::binary).rdbuf()), {}), ff);
        line.serverSide->Kill();
        second = line.Client({"--retries", "0", "date"}, url);
        EXPECT_NE(second.err.find(url + ": cannot connect to 127.0.0.1 port " + url.substr(url.rfind(':') + 1) +
                                  ": Connection refused"), std::string::npos) << second.err;
    }
}

// Two servers on one terminal-server line, as two hosts with the same [PORTS] line would be (here
// two port numbers on one machine): the second waits while the first serves, and takes the line
// when the first is killed; the device then sees the second one's files.
TEST(NetworkPort, AStandbyServerTakesTheLineWhenTheActiveOneDies) {
    SLine line({"--baud", "0"});
    CSer2net ser2net(line.dir, "tcp", line.a);
    setenv("RS232_WAIT_FOR_PORT", "1", 1);
    CTempDir activeDir, standbyDir;
    CPortLease lease({0, 0});
    CServer active(activeDir, ser2net.Url(), {activeDir.Path()}, {}, lease.Port(0));
    ASSERT_TRUE(active.Started()) << active.Err();
    CServer standby(standbyDir, ser2net.Url(), {standbyDir.Path()}, {}, lease.Port(1));
    ASSERT_TRUE(standby.WaitFor(" held by another connection, waiting for it\n")) << standby.Out();
    line.dir.WriteFile("one", "1");
    EXPECT_EQ(line.Client({"put", "one", "one"}).code, 0);
    EXPECT_EQ(activeDir.ReadFile("one"), "1");
    active.Stop(SIGKILL);
    const auto killed = Clock::now();
    ASSERT_TRUE(standby.Started(10s)) << standby.Out();
    EXPECT_EQ(line.Client({"--retries", "0", "put", "one", "one"}).code, 0);
    EXPECT_LT(Clock::now() - killed, 10s);
    EXPECT_EQ(standbyDir.ReadFile("one"), "1");
}

}  // namespace
}  // namespace rs232::test
