// rs232-status: every port of this host at a glance, from the servers' state files.
//
//   rs232-status [--json] [DIR]        DIR: the state directory, default /run/rs232-server
//
// One row per port: port, device, state (up, down, stale or stopped), the age of the last
// contact, the served, refused and failed counts and the transfer in progress. Exit status: 0
// when every port listed is up and fresh or stopped normally, 1 when any is down or stale (its
// server has not written for kStateStaleAfter: killed or hung) or the directory cannot be read,
// 64 usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/Clock.h"
#include "platform/DirSearch.h"
#include "platform/PortState.h"
#include "platform/TextFormat.h"

using namespace rs232;

namespace {

constexpr int kExitUsage = 64;

struct SRow {
    SPortState state;
    const char* health = "up";
    bool bad = false;
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
bool ReadStates(std::string dir, std::vector<SRow>& rows, std::string& problems) {
    if (!dir.ends_with('/')) dir += '/';
    CDirSearch search;
    CFindData entry;
    bool more = search.FindFirst(dir, entry);
    if (!more) return false;
    for (; more; more = search.FindNext(entry)) {
        if (FileNamePort(entry.name) == 0) continue;
        std::ifstream in(dir + entry.name);
        std::stringstream text;
        text << in.rdbuf();
        SRow row;
        if (!ParsePortState(text.str(), row.state))
            problems += dir + entry.name + ": not a state file\n";
        else
            rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end(),
              [](const SRow& a, const SRow& b) { return a.state.port < b.state.port; });
    return true;
}

void PrintTable(const std::vector<SRow>& rows, int64_t now) {
    int width = 6;  // the device column: its longest entry
    for (const SRow& r : rows) width = std::max(width, static_cast<int>(r.state.device.size()));
    std::printf("%-5s %-*s %-8s %-8s %7s %7s %7s  %s\n", "PORT", width, "DEVICE", "STATE",
                "CONTACT", "SERVED", "REFUSED", "FAILED", "TRANSFER");
    for (const SRow& r : rows) {
        const SPortState& s = r.state;
        std::printf("%-5d %-*s %-8s %-8s %7lld %7lld %7lld  %s\n", s.port, width, s.device.c_str(),
                    r.health, Age(s.lastContact, now).c_str(), static_cast<long long>(s.Count(0)),
                    static_cast<long long>(s.Count(1)), static_cast<long long>(s.Count(2)),
                    Transfer(s).c_str());
    }
}

void PrintJson(const std::vector<SRow>& rows, int64_t now) {
    std::string out = "[";
    for (const SRow& r : rows) {
        const SPortState& s = r.state;
        if (out.size() > 1) out += ",";
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
    std::string dir = kDefaultStatusDir;
    bool json = false;
    app.add_flag("--json", json, "Print JSON for scripts");
    app.add_option("dir", dir, "State directory")->capture_default_str();
    app.set_version_flag("--version", std::string("rs232-status ") + RS232_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }

    std::vector<SRow> rows;
    std::string problems;
    if (!ReadStates(dir, rows, problems)) {
        std::fprintf(stderr, "rs232-status: cannot read %s\n", dir.c_str());
        return 1;
    }
    const int64_t now = CurrentTime();
    bool bad = !problems.empty();
    for (SRow& r : rows) {
        bool rowBad = false;
        r.health = Health(r.state, now, rowBad);
        bad = bad || rowBad;
    }
    json ? PrintJson(rows, now) : PrintTable(rows, now);
    std::fputs(problems.c_str(), stderr);
    return bad ? 1 : 0;
}
