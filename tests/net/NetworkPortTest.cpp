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
#include <sstream>
#include <thread>

#include "support/Line.h"
#include "support/Ser2net.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

// Certificates made with the openssl command, once per test process: a CA; the terminal
// server's for IP:127.0.0.1 and one for 127.0.0.2; the client's (CN rs232), which ser2net trusts
// from <authdir>/rs232/allowed_certs/ beside the CA's, hashed; another CA; the client's key
// open to all.
struct SPki {
    CTempDir dir;
    SPki() {
        const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -keyout ";
        const std::string leaf = "req -x509 -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE";
        for (const std::string& command :
             {"req -x509" + key + "ca.key -out ca.pem -subj /CN=ca",
              "req -x509" + key + "ca2.key -out ca2.pem -subj /CN=ca2",
              leaf + key + "ts.key -out ts.pem -subj /CN=ts -addext subjectAltName=IP:127.0.0.1",
              leaf + key + "ts2.key -out ts2.pem -subj /CN=ts -addext subjectAltName=IP:127.0.0.2",
              leaf + key + "rs232.key -out rs232.pem -subj /CN=rs232"}) {
            std::istringstream words(command);
            const SRunResult r = RunProgram(Join({"openssl"}, {std::istream_iterator<std::string>(words), {}}), 60s, dir.Path());
            if (r.code != 0) throw std::runtime_error("openssl " + command + ": " + r.err);
        }
        const std::string allowed = dir / "auth/rs232/allowed_certs/";
        fs::create_directories(allowed);
        for (const char* name : {"ca.pem", "rs232.pem"}) fs::copy_file(dir / name, allowed + name);
        if (RunProgram({"openssl", "rehash", allowed}).code != 0) throw std::runtime_error("openssl rehash");
        fs::copy_file(dir / "rs232.key", dir / "open.key");
        fs::permissions(dir / "open.key", fs::perms(0644));
    }
    // ser2net's ssl options with the terminal server's certificate `name`, and its authdir.
    std::string Ssl(const std::string& name = "ts") const {
        return "key=" + dir / name + ".key,cert=" + dir / name + ".pem,clientauth";
    }
    std::string Auth() const { return dir / "auth"; }
    // [TLS] with the CA file ca, and the client's certificate with key (none when empty).
    std::string Settings(const std::string& ca = "ca.pem", const std::string& key = "rs232.key") const {
        return "[TLS]\nCA=" + dir / ca + "\n" +
               (key.empty() ? "" : "CERT=" + dir / "rs232.pem" + "\nKEY=" + dir / key + "\n");
    }
    std::vector<std::string> Flags() const {
        return {"--tls-ca", dir / "ca.pem", "--tls-cert", dir / "rs232.pem", "--tls-key", dir / "rs232.key"};
    }
};

const SPki& Pki() {
    static const SPki pki;
    return pki;
}

// Through TLS with certificates on both sides, the client's line through TLS too: date, and an
// upload in the middle of which ser2net restarts: the server reconnects and the client's next
// try completes it; it comes back byte for byte.
TEST(TlsPort, RequestsAndARestartMidTransfer) {
    const SPki& pki = Pki();
    SLine line({"--baud", "115200"});
    CSer2net serverSide(line.dir, "rfc2217+tls", line.a, pki.Ssl(), pki.Auth());
    CSer2net clientSide(line.dir, "tcp+tls", line.b, pki.Ssl(), pki.Auth());
    CTempDir base;
    CServer server(line.dir, serverSide.Url(), {base.Path()}, pki.Settings());
    ASSERT_TRUE(server.Started()) << server.Out() << server.Err();
    const auto client = [&](const std::vector<std::string>& args) {
        return line.Client(Join(pki.Flags(), args), clientSide.Url());
    };
    const SRunResult date = client({"date"});
    EXPECT_EQ(date.code, 0) << date.err << server.Out();
    const Bytes data = Pattern(40000, 29);
    line.dir.WriteFile("up.bin", std::string(data.begin(), data.end()));
    // -v: a failure shows each block and answer of the client beside the server's log.
    CChild put(line.Args(Join(pki.Flags(), {"-v", "--retries", "20", "put", "up.bin", "up.bin"}), clientSide.Url()),
               line.dir.Path());
    ASSERT_TRUE(server.WaitFor("Receiving File " + base / "up.bin...")) << server.Out();
    serverSide.Kill();
    EXPECT_TRUE(server.WaitFor(" lost, waiting for it to return\n", 60s)) << server.Out();
    serverSide.Start();
    EXPECT_TRUE(server.WaitFor(" reopened\n", 60s)) << server.Out();
    EXPECT_EQ(put.Wait(100s), 0) << put.Err() << server.Out() << serverSide.Err();
    const SRunResult get = client({"get", "up.bin", "back.bin"});
    EXPECT_EQ(get.code, 0) << get.err << server.Out();
    EXPECT_EQ(line.dir.ReadFile("back.bin"), std::string(data.begin(), data.end()));
}

// Each refusal stops the start with one line naming the URL and the reason.
TEST(TlsPort, RefusalsNameTheUrlAndTheReason) {
    const SPki& pki = Pki();
    SLine line({"--baud", "0"});
    const CSer2net tls(line.dir, "rfc2217+tls", line.a, pki.Ssl(), pki.Auth()),
        otherName(line.dir, "rfc2217+tls", line.a, pki.Ssl("ts2"), pki.Auth()),
        telnet(line.dir, "rfc2217", line.a), raw(line.dir, "tcp", line.a);
    const auto as = [](const CSer2net& s, const std::string& scheme) { return scheme + s.Url().substr(s.Url().find(':')); };
    const struct {
        std::string url, settings, reason;
    } rows[] = {
        {tls.Url(), pki.Settings("ca2.pem"), "the terminal server's certificate is not signed by the CA of [TLS] CA="},
        {otherName.Url(), pki.Settings(), "the terminal server's certificate is not for 127.0.0.1"},
        {tls.Url(), pki.Settings("ca.pem", ""), "closed right after the TLS handshake: client certificate missing or refused"},
        {tls.Url(), pki.Settings("ca.pem", "open.key"), "open.key may be read by others than its owner (mode 0644)"},
        {as(tls, "rfc2217"), "", "without a word (the line in use, or a port that wants a +tls:// URL)"},
        {as(telnet, "rfc2217+tls"), pki.Settings(), "the far end does not speak TLS"},
        {as(raw, "tcp+tls"), pki.Settings(), "no answer to the TLS handshake within 5 s"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url + " " + row.reason);
        CTempDir dir;
        CServer server(dir, row.url, {}, row.settings);
        EXPECT_EQ(server.Wait(60s), 1);
        const std::string out = server.Out();
        const size_t at = out.find("Serial port " + row.url + ": ");
        EXPECT_NE(at, std::string::npos) << out;
        EXPECT_NE(out.find(row.reason, at), std::string::npos) << out;
    }
}

// A second host without the client certificate cannot take the line while the first is down: it
// waits, saying why once; given the certificate (SIGHUP), its next connection takes the line.
TEST(TlsPort, AStandbyWithoutTheClientCertificateCannotTakeTheLine) {
    const SPki& pki = Pki();
    SLine line({"--baud", "0"});
    CSer2net ser2net(line.dir, "tcp+tls", line.a, pki.Ssl(), pki.Auth());
    setenv("RS232_WAIT_FOR_PORT", "1", 1);
    CTempDir activeDir, standbyDir;
    CPortLease lease({0, 0});
    CServer active(activeDir, ser2net.Url(), {activeDir.Path()}, pki.Settings(), lease.Port(0));
    ASSERT_TRUE(active.Started()) << active.Out();
    CServer standby(standbyDir, ser2net.Url(), {standbyDir.Path()}, pki.Settings("ca.pem", ""), lease.Port(1));
    const std::string refused = "Serial port " + ser2net.Url() +
                                ": closed right after the TLS handshake: client certificate missing or refused; waiting for it\n";
    ASSERT_TRUE(standby.WaitFor(refused)) << standby.Out();
    active.Stop(SIGKILL);
    // ser2net has refused it twice more since: the line was free for the second at least.
    const auto refusals = [&] {
        const std::string err = ser2net.Err();
        size_t n = 0;
        for (size_t at = 0; (at = err.find("Certificate not provided", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    const size_t before = refusals();
    for (const auto end = Clock::now() + 30s; refusals() < before + 2 && Clock::now() < end;) std::this_thread::sleep_for(50ms);
    EXPECT_GE(refusals(), before + 2) << ser2net.Err();
    EXPECT_EQ(standby.Out().find("Rs232 Server started"), std::string::npos) << standby.Out();
    EXPECT_EQ(standby.Out().find(refused), standby.Out().rfind(refused)) << "one line while it waits";
    std::ofstream(standbyDir / "rs232-server.ini", std::ios::app) << "CERT=" << pki.dir / "rs232.pem" << "\nKEY=" << pki.dir / "rs232.key\n";
    standby.Signal(SIGHUP);
    ASSERT_TRUE(standby.Started()) << standby.Out();
    line.dir.WriteFile("one", "1");
    EXPECT_EQ(line.Client({"put", "one", "one"}).code, 0);
    EXPECT_EQ(standbyDir.ReadFile("one"), "1");
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
