// A virtual null-modem between <dir>/ttyA and <dir>/ttyB, and optionally the real server on end a
// serving <dir>/base/ at 115200 Bd, with the client on end b. For tests that link the programs.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "support/Process.h"

namespace rs232::test {

struct SLine {
    CTempDir dir;
    std::string a = dir / "ttyA", b = dir / "ttyB", base = dir / "base/";
    CChild modem;
    std::optional<CServer> server;

    explicit SLine(const std::vector<std::string>& options, bool withServer = false)
        : modem(Join({RS232_NULLMODEM_EXE, "--a", a, "--b", b}, options)) {
        if (!modem.WaitFor("ready", 10s)) throw std::runtime_error("null-modem: " + modem.Err());
        std::filesystem::create_directories(base + "sub");
        if (withServer) StartServer();
    }
    void StartServer(const std::string& moreSettings = {}, int port = 0) {
        server.emplace(dir, a, std::vector<std::string>{base}, "[COMPORT]\nBAUDRATE=115200\n" + moreSettings, port);
        if (!server->Started()) throw std::runtime_error("no server: " + server->Err());
    }
    // The client's command line on end b (or on device), and one run of it.
    std::vector<std::string> Args(const std::vector<std::string>& args, const std::string& device = {}) const {
        return Join({RS232_CLIENT_EXE, "--device", device.empty() ? b : device, "--baud", "115200"}, args);
    }
    SRunResult Client(const std::vector<std::string>& args, const std::string& device = {}) const {
        return RunProgram(Args(args, device), 100s, dir.Path());
    }
};

}  // namespace rs232::test
