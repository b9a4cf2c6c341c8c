// rs232-client: the server's requests from the command line.
//
//   rs232-client [--device PATH | --port N] [--config FILE] [--baud RATE] COMMAND ...
//     date | info REMOTE | get REMOTE [LOCAL] | put LOCAL REMOTE | rm REMOTE | cp SRC DST
//     | ls [--raw] [REMOTE_DIR]
//
// Exit status: 0 done, 1 the server refused or showed a failure (or a local file failed),
// 2 no usable answer on the line, 64 usage error, 130 interrupted (SIGINT, SIGTERM).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>

#include "Client.h"
#include "link/SerialPort.h"
#include "platform/FileOps.h"
#include "platform/SettingsFile.h"

using namespace rs232;
using namespace rs232::client;

namespace {

constexpr int kExitUsage = 64;

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }
constexpr const char* kSystemConfig = "/etc/rs232-server.ini";

// The settings file shared with the server: [PORTS] COMn=device, [COMPORT] BAUDRATE.
struct SSettings {
    std::map<int, std::string> ports;
    long baud = 0;
};

// Read as the server reads it, so that both ends agree on what the file says.
bool ReadSettings(const std::string& path, SSettings& settings) {
    CIniFile ini;
    if (ini.LoadFile(path.c_str()) < 0) return false;
    settings.ports = ReadDeviceMap(ini);
    const char* baud = ini.GetValue("COMPORT", "BAUDRATE", nullptr);
    settings.baud = baud ? ProfileInt(baud) : 0;
    return true;
}

class CProgress {
public:
    explicit CProgress(const std::string& label) : m_label(label), m_on(isatty(2) != 0) {}
    ~CProgress() {
        if (m_on && m_drawn) std::fputc('\n', stderr);
    }
    void operator()(long done, long total) {
        if (!m_on) return;
        const int width = 30;
        const int filled = total > 0 ? static_cast<int>(static_cast<double>(done) / total * width)
                                     : width;
        std::fprintf(stderr, "\r%s [%s%s] %3d%% %ld/%ld", m_label.c_str(),
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(width - filled), ' ').c_str(),
                     total > 0 ? static_cast<int>(done * 100 / total) : 100, done, total);
        std::fflush(stderr);
        m_drawn = true;
    }

private:
    std::string m_label;
    bool m_on;
    bool m_drawn = false;
};

std::string BaseName(const std::string& remote) {
    const size_t cut = remote.find_last_of("/\\:");
    return cut == std::string::npos ? remote : remote.substr(cut + 1);
}

void PrintList(const std::string& list, const std::string& ownListFile) {
    std::istringstream in(list);
    std::string line;
    std::printf("%-5s %12s  %-19s  %s\n", "ATTR", "SIZE", "MODIFIED", "NAME");
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        SListEntry e;
        if (!ParseListLine(line, e)) {
            std::printf("?     %s\n", line.c_str());
            continue;
        }
        if (e.name == ownListFile) continue;
        std::printf("%-5s %12ld  %-19s  %s\n", AttributeLetters(e.attributes).c_str(), e.size,
                    FormatTime(e.mtime).c_str(), e.name.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Client of the RS232 file server"};
    app.require_subcommand(1);
    std::string device, config;
    int port = 1;
    long baud = 0;
    app.add_option("--device", device, "serial device (overrides --port)");
    app.add_option("--port", port, "port number 1..16, mapped through [PORTS] COMn")
        ->check(CLI::Range(1, 16));
    app.add_option("--config", config,
                   "settings file with [PORTS] COMn=device and [COMPORT] BAUDRATE (default: "
                   "rs232-server.ini beside this program, else /etc/rs232-server.ini)");
    app.add_option("--baud", baud, "line speed (default: the settings file's, else 57600)")
        ->check(CLI::Range(1L, 10'000'000L));

    std::string remote, local, source, destination, listDir;
    bool raw = false;
    auto* date = app.add_subcommand("date", "show the server's clock");
    auto* info = app.add_subcommand("info", "show size, time and attributes of a remote file");
    info->add_option("REMOTE", remote)->required();
    auto* get = app.add_subcommand("get", "download a file");
    get->add_option("REMOTE", remote)->required();
    get->add_option("LOCAL", local);
    auto* put = app.add_subcommand("put", "upload a file");
    put->add_option("LOCAL", local)->required();
    put->add_option("REMOTE", remote)->required();
    auto* rm = app.add_subcommand("rm", "delete a remote file");
    rm->add_option("REMOTE", remote)->required();
    auto* cp = app.add_subcommand("cp", "copy a file on the server");
    cp->add_option("SRC", source)->required();
    cp->add_option("DST", destination)->required();
    auto* ls = app.add_subcommand("ls", "list a remote directory (default: the base directory)");
    ls->add_option("REMOTE_DIR", listDir);
    ls->add_flag("--raw", raw, "print the list as the server wrote it");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    SSettings settings;
    if (!config.empty()) {
        if (!ReadSettings(config, settings)) {
            std::fprintf(stderr, "rs232-client: cannot read settings file %s\n", config.c_str());
            return kExitUsage;
        }
    } else {
        const std::string beside = DirectoryOf(ExecutablePath()) + "rs232-server.ini";
        if (FileExists(beside))
            ReadSettings(beside, settings);
        else if (FileExists(kSystemConfig))
            ReadSettings(kSystemConfig, settings);
    }
    if (baud == 0) baud = settings.baud > 0 ? settings.baud : 57600;

    CSerialPort serial;
    if (!device.empty()) {
        port = 1;
        settings.ports = {{1, device}};
    }
    serial.SetDeviceMap(settings.ports);
    serial.SetParams(static_cast<int>(baud), 'N', 8, 1, 0, 0);
    const int opened = serial.Open(port);
    if (opened != kPortOk) {
        std::fprintf(stderr, "rs232-client: cannot open %s (code %d)\n",
                     serial.DeviceName(port).c_str(), opened);
        return 2;
    }

    CClientLink link(serial, static_cast<int>(baud));
    // Ctrl-C ends a transfer cleanly: EOT to the server, no partial local file.
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    link.SetCancelFlag(&g_interrupted);
    CClient client(link);
    try {
        if (*date) {
            const long server = client.ServerTime();
            const long here = static_cast<long>(std::time(nullptr));
            std::printf("server time: %s (local)\n", FormatTime(server).c_str());
            std::printf("             %s (UTC)\n", FormatTime(server, true).c_str());
            std::printf("offset:      %+ld s (server minus this machine)\n", server - here);
        } else if (*info) {
            const SRemoteInfo i = client.Info(remote);
            if (!i.found) throw CClientError(CClientError::Kind::Failure, remote + ": not found");
            std::printf("%s\n  size:       %ld bytes\n  modified:   %s (local)\n"
                        "  attributes: %s (0x%02X)\n",
                        remote.c_str(), i.size, FormatTime(i.mtime).c_str(),
                        AttributeWords(i.attributes).c_str(), i.attributes);
        } else if (*get) {
            if (local.empty()) local = BaseName(remote);
            struct stat st{};
            if (stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                local += "/" + BaseName(remote);
            CProgress bar("get");
            const long n = client.Get(remote, local, std::ref(bar));
            std::printf("%s -> %s: %ld bytes\n", remote.c_str(), local.c_str(), n);
        } else if (*put) {
            long n;
            {
                CProgress bar("put");
                n = client.Put(local, remote, std::ref(bar));
            }
            std::printf("%s -> %s: %ld bytes, confirmed by the server\n", local.c_str(),
                        remote.c_str(), n);
        } else if (*rm) {
            client.Remove(remote);
            std::printf("%s removed\n", remote.c_str());
        } else if (*cp) {
            client.Copy(source, destination);
            std::printf("%s copied to %s\n", source.c_str(), destination.c_str());
        } else if (*ls) {
            const std::string listFile =
                ".rs232-client-" + std::to_string(getpid()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() %
                               1000000) +
                ".lst";
            const std::string list = client.List(listDir, listFile);
            if (raw)
                std::fwrite(list.data(), 1, list.size(), stdout);
            else
                PrintList(list, listFile);
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "rs232-client: %s\n", e.what());
        return kExitUsage;
    } catch (const CClientError& e) {
        std::fprintf(stderr, "rs232-client: %s\n", e.what());
        return static_cast<int>(e.GetKind());
    }
    return 0;
}
