// rs232-status: every port of this host at a glance, from the servers' state files.
//
//   rs232-status [--json] [DIR]        DIR: the state directory; default $RS232_STATUS_DIR, else
//                                      /run/rs232-server (%ProgramData%\rs232-server on Windows)
//
// One row per port, from the regular files named port<N>.prom (N in 1..99, as the server names
// them): port, device, state (up, down, stale, stopped, or unreadable or invalid with the
// reason), the age of the last contact, the served, refused and failed counts and the transfer
// in progress. Control characters in the device are shown escaped. Exit status: 0 when every
// port listed is up and fresh or stopped normally, 1 when any is down, stale (its server has not
// written for kStateStaleAfter: killed or hung), unreadable or invalid, or the directory cannot
// be read, 64 usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Clock.h"
#include "platform/DirSearch.h"
#include "platform/FileLimits.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/PortState.h"
#include "platform/TextFormat.h"

using namespace rs232;

namespace {

constexpr int kExitUsage = 64;
// A state file is a few kilobytes; anything larger is no state file and is not read.
constexpr size_t kMaxStateFileBytes = 1 << 20;

struct SRow {
    SPortState state;
    const char* health = "up";
    std::string problem;  // why the file gives no state; empty when it does
};

const char* Health(const SPortState& s, int64_t now, bool& bad) {
    bad = false;
    if (s.stopped != 0) return "stopped";
    bad = true;
    if (now - s.updated > kStateStaleAfter.count()) return "stale";
    if (!s.up) return "down";
    bad = false;
    return "up";
}

// "42s", "7m", "3h", "2d"; "never" before any contact.
std::string Age(int64_t then, int64_t now) {
    if (then == 0) return "never";
    const int64_t s = std::max<int64_t>(0, now - then);
    if (s < 120) return FormatText("%llds", static_cast<long long>(s));
    if (s < 7200) return FormatText("%lldm", static_cast<long long>(s / 60));
    if (s < 172800) return FormatText("%lldh", static_cast<long long>(s / 3600));
    return FormatText("%lldd", static_cast<long long>(s / 86400));
}

std::string Transfer(const SPortState& s) {
    if (s.transferSize == 0 && s.transferDone == 0) return "-";
    const long long percent = s.transferSize > 0 ? s.transferDone * 100 / s.transferSize : 0;
    return FormatText("%lld of %lld bytes (%lld%%)", static_cast<long long>(s.transferDone),
                      static_cast<long long>(s.transferSize), percent);
}

// The state files of dir, by port; false when dir cannot be read.
bool ReadStates(std::string dir, std::vector<SRow>& rows) {
    if (!dir.ends_with('/')) dir += '/';
    CDirSearch search;
    CFindData entry;
    bool more = search.FindFirst(dir, entry);
    if (!more) return false;
    for (; more; more = search.FindNext(entry)) {
        const int port = FileNamePort(entry.name);
        if (port == 0) continue;
        SRow row;
        row.state.port = port;
        std::string text, why;
        if (!ReadSmallFile(dir + entry.name, kMaxStateFileBytes, text)) {
            row.health = "unreadable";
            row.problem = "unreadable: " + std::string(errno == EINVAL ? "not a regular file"
                                                       : errno == EFBIG ? "larger than 1 MiB"
                                                                        : std::strerror(errno));
        } else if (!ParsePortState(text, port, row.state, why)) {
            row.state = SPortState{};
            row.state.port = port;
            row.health = "invalid";
            row.problem = "invalid state file: " + why;
        }
        rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end(),
              [](const SRow& a, const SRow& b) { return a.state.port < b.state.port; });
    return true;
}

// Text for a terminal: control characters and bytes that are not UTF-8 as \n, \t, \r or \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : Utf8SequenceLength(text, i);
        // C1 controls, U+0080 to U+009F, act on terminals as their escape sequences do.
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) n = 0;
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c < 0x20 || c == 0x7F || n == 0) out += FormatText("\\x%02x", c);
        else {
            out.append(text, i, n);
            i += n - 1;
        }
    }
    return out;
}

void PrintTable(const std::vector<SRow>& rows, int64_t now) {
    std::vector<std::string> devices;
    int width = 6;  // the device column: its longest entry
    for (const SRow& r : rows) {
        devices.push_back(r.problem.empty() ? Printable(r.state.device) : "-");
        width = std::max(width, static_cast<int>(devices.back().size()));
    }
    std::printf("%-5s %-*s %-10s %-8s %7s %7s %7s  %s\n", "PORT", width, "DEVICE", "STATE",
                "CONTACT", "SERVED", "REFUSED", "FAILED", "TRANSFER");
    for (size_t i = 0; i < rows.size(); ++i) {
        const SRow& r = rows[i];
        const SPortState& s = r.state;
        if (!r.problem.empty()) {
            std::printf("%-5d %-*s %-10s %s\n", s.port, width, devices[i].c_str(), r.health,
                        Printable(r.problem).c_str());
            continue;
        }
        std::printf("%-5d %-*s %-10s %-8s %7lld %7lld %7lld  %s\n", s.port, width,
                    devices[i].c_str(), r.health, Age(s.lastContact, now).c_str(),
                    static_cast<long long>(s.Count(0)), static_cast<long long>(s.Count(1)),
                    static_cast<long long>(s.Count(2)), Transfer(s).c_str());
    }
}

void PrintJson(const std::vector<SRow>& rows, int64_t now) {
    std::string out = "[";
    for (const SRow& r : rows) {
        const SPortState& s = r.state;
        if (out.size() > 1) out += ",";
        if (!r.problem.empty()) {
            out += FormatText("\n{\"port\":%d,\"state\":\"%s\",\"problem\":%s}", s.port, r.health,
                              JsonString(r.problem).c_str());
            continue;
        }
        out += FormatText("\n{\"port\":%d,\"device\":%s,\"state\":\"%s\",", s.port,
                          JsonString(s.device).c_str(), r.health);
        out += s.lastContact == 0
                   ? std::string("\"last_contact\":null,\"last_contact_age_s\":null,")
                   : FormatText("\"last_contact\":%lld,\"last_contact_age_s\":%lld,",
                                static_cast<long long>(s.lastContact),
                                static_cast<long long>(std::max<int64_t>(0, now - s.lastContact)));
        out += FormatText("\"served\":%lld,\"refused\":%lld,\"failed\":%lld,\"updated\":%lld,",
                          static_cast<long long>(s.Count(0)), static_cast<long long>(s.Count(1)),
                          static_cast<long long>(s.Count(2)), static_cast<long long>(s.updated));
        out += s.transferSize == 0 && s.transferDone == 0
                   ? std::string("\"transfer\":null}")
                   : FormatText("\"transfer\":{\"done\":%lld,\"size\":%lld}}",
                                static_cast<long long>(s.transferDone),
                                static_cast<long long>(s.transferSize));
    }
    std::printf("%s\n]\n", out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Every port of this host from the servers' state files"};
    const char* fromEnvironment = std::getenv(kStatusDirVariable);
    std::string dir = fromEnvironment && *fromEnvironment ? fromEnvironment : DefaultStatusDir();
    bool json = false;
    app.add_flag("--json", json, "Print JSON for scripts");
    app.add_option("dir", dir, "State directory (default: $RS232_STATUS_DIR, else " +
                                   DefaultStatusDir() + ")");
    app.set_version_flag("--version", std::string("rs232-status ") + RS232_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }

    std::vector<SRow> rows;
    if (!ReadStates(dir, rows)) {
        std::fprintf(stderr, "rs232-status: cannot read %s\n", dir.c_str());
        return 1;
    }
    const int64_t now = CurrentTime();
    bool bad = false;
    for (SRow& r : rows) {
        bool rowBad = true;
        if (r.problem.empty()) r.health = Health(r.state, now, rowBad);
        bad = bad || rowBad;
    }
    json ? PrintJson(rows, now) : PrintTable(rows, now);
    return bad ? 1 : 0;
}
