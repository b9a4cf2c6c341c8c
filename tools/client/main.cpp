// rs232-client: the server's requests from the command line.
//
//   rs232-client [--device PATH | --port N] [--config FILE] [--baud RATE] [--retries N]
//                [--tls-ca FILE] [--tls-cert FILE] [--tls-key FILE] [-q | -v] COMMAND ...
//     date | info REMOTE | get [--force] REMOTE... [LOCAL] | put LOCAL... [REMOTE]
//     | rm REMOTE | cp SRC DST | ls [--raw] [REMOTE_DIR]
//
// A request that failed on the line (kind NoAnswer) starts again from the beginning, up to
// --retries more times; refusals are final. rm is never repeated: a removal whose
// confirmation was lost would be reported as "not found".
//
// Exit status: 0 done, 1 the server refused or showed a failure (or a local file failed),
// 2 no usable answer on the line, 64 usage error, 130 interrupted (SIGINT, SIGTERM). With
// several files each is reported and the status is the worst of them.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <vector>

#include "Client.h"
#include "link/PortBackend.h"
#include "link/SerialPort.h"
#include "link/TlsSettings.h"
#include "platform/FileOps.h"
#include "platform/Interrupt.h"
#include "platform/Number.h"
#include "platform/Paths.h"
#include "platform/SettingsFile.h"

using namespace rs232;
using namespace rs232::client;

namespace {

constexpr int kExitUsage = 64;
constexpr int kDefaultRetries = 2;
constexpr auto kProgressRedraw = std::chrono::milliseconds(200);

bool g_quiet = false;

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }
constexpr const char* kSystemConfig = "/etc/rs232-server.ini";

// The settings file shared with the server: [PORTS] COMn=device, [COMPORT] BAUDRATE, [TLS].
struct SSettings {
    std::map<int, std::string> ports;
    long baud = 0;
    STlsFiles tls;
};

// Read as the server reads it, so that both ends agree on what the file says.
bool ReadSettings(const std::string& path, SSettings& settings, std::string& why) {
    CIniFile ini;
    if (!LoadSettingsFile(path, ini, why)) return false;
    settings.ports = ReadDeviceMap(ini);
    const char* baud = ini.GetValue("COMPORT", "BAUDRATE", nullptr);
    settings.baud = baud ? ProfileInt(baud) : 0;
    settings.tls = ReadTlsSettings(ini);
    return true;
}

// A progress line with rate and time left, drawn on stderr when it is a terminal.
class CProgress {
public:
    explicit CProgress(const std::string& label)
        : m_label(label), m_on(!g_quiet && isatty(2) != 0) {}
    ~CProgress() { Finish(); }
    // Ends the line, so that what follows starts on a line of its own.
    void Finish() {
        if (m_on && m_drawn) std::fputc('\n', stderr);
        m_drawn = false;
    }
    void operator()(long done, long total) {
        if (!m_on) return;
        const auto now = Clock::now();
        if (done == 0) m_start = now;  // each try starts again at 0
        if (m_drawn && done < total && now - m_last < kProgressRedraw) return;
        m_last = now;
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        const double rate = seconds > 0 ? done / seconds : 0;
        const int width = 20;
        const int filled = total > 0 ? static_cast<int>(static_cast<double>(done) / total * width)
                                     : width;
        char left[32] = "";
        if (rate > 0 && done < total) {
            const long s = static_cast<long>((total - done) / rate + 0.5);
            std::snprintf(left, sizeof left, "  %ld:%02ld left", s / 60, s % 60);
        }
        std::fprintf(stderr, "\r%s [%s%s] %3d%% %ld/%ld  %.1f kB/s%s\033[K", m_label.c_str(),
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(width - filled), ' ').c_str(),
                     total > 0 ? static_cast<int>(done * 100 / total) : 100, done, total,
                     rate / 1000, left);
        std::fflush(stderr);
        m_drawn = true;
    }

private:
    using Clock = std::chrono::steady_clock;
    std::string m_label;
    bool m_on;
    bool m_drawn = false;
    Clock::time_point m_start = Clock::now(), m_last;
};

// An option's value as a whole number from min to max, as the server reads its numbers.
template <typename T>
CLI::Option* AddNumberOption(CLI::App& app, const std::string& name, T& value, int64_t min,
                             int64_t max, const std::string& help) {
    const auto read = [&value, name, min, max](const std::string& text) {
        const auto number = ReadNumber(text, min, max);
        if (!number) throw CLI::ValidationError(name, text + " is " + NumberRangeText(min, max));
        value = static_cast<T>(*number);
    };
    return app.add_option_function<std::string>(name, read, help)->type_name("INT");
}

std::string BaseName(const std::string& path, const char* separators = "/\\:") {
    const size_t cut = path.find_last_of(separators);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool EndsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

std::string Tries(int tries) { return tries > 1 ? " (" + std::to_string(tries) + " tries)" : ""; }

// Runs one request with the retries asked for, telling of each new start unless quiet.
int Retrying(CClientLink& link, int retries, const std::function<void()>& request,
             CProgress* bar = nullptr) {
    return WithRetries(link, retries, request, [&](const CClientError& e, int nextTry) {
        if (bar) bar->Finish();
        if (!g_quiet)
            std::fprintf(stderr, "rs232-client: %s; starting again (try %d of %d)\n", e.what(),
                         nextTry, retries + 1);
    });
}

// Runs one item of a command and reports its failure. Returns its exit status.
int Report(const std::string& item, const std::function<void()>& run) {
    auto report = [&](const std::string& what) {
        // Most messages name the file already.
        const bool named = item.empty() || what.starts_with(item + ":");
        std::fprintf(stderr, "rs232-client: %s%s\n", named ? "" : (item + ": ").c_str(),
                     what.c_str());
    };
    try {
        run();
        return 0;
    } catch (const std::invalid_argument& e) {
        report(e.what());
        return kExitUsage;
    } catch (const CClientError& e) {
        report(e.what());
        return static_cast<int>(e.GetKind());
    }
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
    app.set_version_flag("--version", std::string("rs232-client ") + RS232_VERSION);
    std::string device, config;
    STlsFiles tls;
    int port = 1;
    long baud = 0;
    int retries = kDefaultRetries;
    bool verbose = false;
    app.add_option("--device", device,
                   "serial device, or tcp://HOST:PORT or rfc2217://HOST:PORT, each also as "
                   "tcp+tls:// and rfc2217+tls:// (overrides --port)");
    AddNumberOption(app, "--port", port, kFirstPort, kLastPort,
                    "port number 1..99, mapped through [PORTS] COMn");
    app.add_option("--config", config,
                   "settings file with [PORTS] COMn=device and [COMPORT] BAUDRATE (default: "
                   "rs232-server.ini beside this program, else /etc/rs232-server.ini)");
    app.add_option("--tls-ca", tls.ca,
                   "CA that signed the terminal server's certificate (overrides [TLS] CA)");
    app.add_option("--tls-cert", tls.cert,
                   "this end's certificate, for a terminal server that asks (overrides [TLS] CERT)");
    app.add_option("--tls-key", tls.key, "the key of --tls-cert (overrides [TLS] KEY)");
    AddNumberOption(app, "--baud", baud, 1, 10'000'000,
                    "line speed (default: the settings file's, else 57600)");
    AddNumberOption(app, "--retries", retries, 0, 100,
                    "times a request that failed on the line starts again (default 2)");
    auto* quietFlag =
        app.add_flag("-q,--quiet", g_quiet, "nothing on stdout or stderr but results and errors");
    app.add_flag("-v,--verbose", verbose, "each block and answer on stderr")->excludes(quietFlag);

    std::string remote, source, destination, listDir;
    std::vector<std::string> items;
    bool raw = false, force = false;
    auto* date = app.add_subcommand("date", "show the server's clock");
    auto* info = app.add_subcommand("info", "show size, time and attributes of a remote file");
    info->add_option("REMOTE", remote)->required();
    auto* get = app.add_subcommand(
        "get", "download files: REMOTE [LOCAL], or REMOTE... LOCAL_DIR");
    get->add_option("REMOTE", items, "remote files, then the local file or directory")
        ->required()->expected(1, -1);
    get->add_flag("--force", force, "replace existing local files");
    auto* put = app.add_subcommand(
        "put", "upload files: LOCAL [REMOTE], or LOCAL... REMOTE_DIR ending in / or \\");
    put->add_option("LOCAL", items, "local files, then the remote file or directory")
        ->required()->expected(1, -1);
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
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    // (remote, local) pairs, checked before the device is opened.
    std::vector<std::pair<std::string, std::string>> transfers;
    if (*get) {
        std::string target = items.size() > 1 ? items.back() : std::string();
        if (items.size() > 1) items.pop_back();
        rs232::CFileStatus st;
        const bool isDir = !target.empty() && rs232::GetStatus(target, st) &&
                           (st.m_attribute & rs232::wire::kAttrDirectory);
        if (items.size() > 1 && !isDir) {
            std::fprintf(stderr, "rs232-client: %s is not a directory (the last of several names "
                                 "is where the files go)\n", target.c_str());
            return kExitUsage;
        }
        for (const std::string& r : items) {
            std::string l = target.empty() ? BaseName(r) : target;
            if (isDir) l += (EndsWithSeparator(l) ? "" : "/") + BaseName(r);
            transfers.emplace_back(r, l);
        }
    } else if (*put) {
        std::string target = items.size() > 1 ? items.back() : std::string();
        if (items.size() > 1) items.pop_back();
        if (items.size() > 1 && !EndsWithSeparator(target)) {
            std::fprintf(stderr, "rs232-client: %s does not end in / or \\ (the last of several "
                                 "names is the remote directory)\n", target.c_str());
            return kExitUsage;
        }
        for (const std::string& l : items) {
            const std::string r = target.empty() || EndsWithSeparator(target)
                                      ? target + BaseName(l, "/")
                                      : target;
            transfers.emplace_back(r, l);
        }
    }

    SSettings settings;
    std::string why;
    if (!config.empty()) {
        if (!ReadSettings(config, settings, why)) {
            std::fprintf(stderr, "rs232-client: cannot read settings file %s: %s\n", config.c_str(),
                         why.c_str());
            return kExitUsage;
        }
    } else {
        const std::string beside = DirectoryOf(ExecutablePath()) + "rs232-server.ini";
        if (FileExists(beside))
            ReadSettings(beside, settings, why);
        else if (FileExists(kSystemConfig))
            ReadSettings(kSystemConfig, settings, why);
    }
    if (std::string host, service; *PortBackendKind(device).scheme &&
                                   !ReadNetworkAddress(device, host, service, why)) {
        std::fprintf(stderr, "rs232-client: --device %s: %s\n", device.c_str(), why.c_str());
        return kExitUsage;
    }
    if (baud == 0) baud = settings.baud > 0 ? settings.baud : 57600;

    CSerialPort serial;
    if (!device.empty()) {
        port = 1;
        settings.ports = {{1, device}};
    }
    serial.SetDeviceMap(settings.ports);
    if (!tls.ca.empty()) settings.tls.ca = tls.ca;
    if (!tls.cert.empty()) settings.tls.cert = tls.cert;
    if (!tls.key.empty()) settings.tls.key = tls.key;
    serial.SetTlsFiles(settings.tls);
    serial.SetParams(static_cast<int>(baud), 'N', 8, 1, 0, 0);
    const int opened = serial.Open(port);
    if (opened != kPortOk) {
        if (!serial.LastError().empty())
            std::fprintf(stderr, "rs232-client: %s\n", serial.LastError().c_str());
        else
            std::fprintf(stderr, "rs232-client: cannot open %s (code %d)\n",
                         serial.DeviceName(port).c_str(), opened);
        return 2;
    }

    CClientLink link(serial, static_cast<int>(baud));
    // Ctrl-C ends a transfer cleanly: EOT to the server, no partial local file.
    rs232::CatchInterrupt(OnSignal);
    link.SetCancelFlag(&g_interrupted);
    CClient client(link);
    if (verbose)
        link.SetTrace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    auto say = [](const std::string& text) {
        if (!g_quiet) std::printf("%s\n", text.c_str());
    };
    const std::string one;  // a single item's errors need no name in front
    if (*get || *put) {
        int worst = 0;
        for (const auto& [r, l] : transfers) {
            const std::string item = transfers.size() > 1 ? (*get ? r : l) : one;
            const int status = Report(item, [&, &r = r, &l = l] {
                long n = 0;
                CProgress bar(*get ? "get " + r : "put " + l);
                const int tries = Retrying(link, retries, [&] {
                    n = *get ? client.Get(r, l, std::ref(bar), force)
                             : client.Put(l, r, std::ref(bar));
                }, &bar);
                bar.Finish();
                say(*get ? r + " -> " + l + ": " + std::to_string(n) + " bytes" + Tries(tries)
                         : l + " -> " + r + ": " + std::to_string(n) +
                               " bytes, confirmed by the server" + Tries(tries));
            });
            worst = std::max(worst, status);
            if (status == static_cast<int>(CClientError::Kind::Interrupted)) break;
        }
        return worst;
    }
    return Report(one, [&] {
        if (*date) {
            long server = 0;
            Retrying(link, retries, [&] { server = client.ServerTime(); });
            const long here = static_cast<long>(std::time(nullptr));
            std::printf("server time: %s (local)\n", FormatTime(server).c_str());
            std::printf("             %s (UTC)\n", FormatTime(server, true).c_str());
            std::printf("offset:      %+ld s (server minus this machine)\n", server - here);
        } else if (*info) {
            SRemoteInfo i;
            Retrying(link, retries, [&] { i = client.Info(remote); });
            if (!i.found) throw CClientError(CClientError::Kind::Failure, remote + ": not found");
            std::printf("%s\n  size:       %ld bytes\n  modified:   %s (local)\n"
                        "  attributes: %s (0x%02X)\n",
                        remote.c_str(), i.size, FormatTime(i.mtime).c_str(),
                        AttributeWords(i.attributes).c_str(), i.attributes);
        } else if (*rm) {
            client.Remove(remote);
            say(remote + " removed");
        } else if (*cp) {
            const int tries = Retrying(link, retries, [&] { client.Copy(source, destination); });
            say(source + " copied to " + destination + Tries(tries));
        } else if (*ls) {
            const std::string listFile =
                ".rs232-client-" + std::to_string(getpid()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() %
                               1000000) +
                ".lst";
            std::string list;
            Retrying(link, retries, [&] { list = client.List(listDir, listFile); });
            if (raw)
                std::fwrite(list.data(), 1, list.size(), stdout);
            else
                PrintList(list, listFile);
        }
    });
}
