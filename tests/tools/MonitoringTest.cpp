// Three servers on virtual lines, watched as a site watches them: the real
// prometheus-node-exporter on their state directory, rs232-status as a check, and the audit
// records held against the files they name.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <ctime>
#include <sys/stat.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "link/Crc32.h"
#include "platform/TextFormat.h"
#include "support/Line.h"

namespace rs232::test {
namespace {

using nlohmann::json;

// prometheus-node-exporter with only its text-file collector, on a listening socket whose port
// the kernel picked, handed over as systemd hands one over (fd 3, LISTEN_FDS, LISTEN_PID).
class CExporter {
public:
    explicit CExporter(const std::string& dir) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);  // inherited by the exporter
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 8) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("no listening socket");
        m_port = ntohs(address.sin_port);
        m_child.emplace(std::vector<std::string>{"/bin/bash", "-c",
            "exec 3<&" + std::to_string(fd) + " && LISTEN_FDS=1 LISTEN_PID=$$ exec prometheus-node-exporter"
            " --web.systemd-socket --collector.disable-defaults --collector.textfile --collector.textfile.directory=\"$0\"", dir});
        close(fd);
    }
    // The /metrics page over HTTP/1.0; empty when the exporter does not answer.
    std::string Metrics() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(m_port)), {htonl(INADDR_LOOPBACK)}, {}};
        const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
        std::string page;
        char buffer[65536];
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()))
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) page.append(buffer, static_cast<size_t>(n));
        close(fd);
        return page;
    }

private:
    int m_port = 0;
    std::optional<CChild> m_child;
};

// rs232-status --json on dir: its exit status and the state of each port it lists.
std::pair<int, std::map<int, std::string>> Status(const std::string& dir) {
    const SRunResult r = RunProgram({RS232_STATUS_EXE, "--json", dir}, 30s);
    std::map<int, std::string> states;
    for (const json& port : json::parse(r.out)) states[port["port"].get<int>()] = port["state"];
    return {r.code, states};
}

TEST(Monitoring, ExporterStatusAndAuditRecordsShowEveryLine) {
    CTempDir state;
    const std::string settings = "[STATUS]\nDIR=" + state.Path() + "\n[LOG]\nAUDIT=1\n";
    // Per line: client commands and the requests, with their results, that each makes.
    const std::vector<std::vector<std::pair<std::vector<std::string>, std::string>>> table = {
        {{{"put", "up.bin", "up.bin"}, "DR served FT served IR served"}, {{"get", "r1", "got"}, "RF served"},
         {{"info", "none.txt"}, "IR refused"}},
        {{{"date"}, "DR served"}, {{"cp", "r1", "r1.copy"}, "IR served DR served CF served IR served"},
         {{"get", "none.txt", "got"}, "RF refused"}},
        {{{"put", "up.bin", "sub/"}, "DR served FT served IR served"}, {{"rm", "r1"}, "IR served DF served IR refused"},
         {{"put", "up.bin", "\xe9.bin"}, "DR served FT served IR served"}},
    };
    CPortLease lease({0, 0, 0});
    std::vector<std::unique_ptr<SLine>> lines;
    std::vector<std::vector<std::pair<std::string, std::string>>> requests(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        lines.push_back(std::make_unique<SLine>(std::vector<std::string>{"--baud", "0"}));
        SLine& line = *lines.back();
        line.dir.WriteFile("up.bin", Text(Pattern(3000, static_cast<unsigned>(i))));
        line.dir.WriteFile(line.base + "r1", Text(Pattern(1500 + i, 9)));
        // A device path with a Latin-1 byte and a quote must not cost the host its scrape.
        if (i == 0) {
            const std::string link = line.dir / "tty\xe9\"";
            std::filesystem::create_symlink(line.a, link);
            line.a = link;
        }
        line.StartServer(settings, lease.Port(i));
        for (const auto& [args, made] : table[i]) {
            line.Client(args);
            std::istringstream words(made);
            for (std::string request, result; words >> request >> result;) requests[i].emplace_back(request, result);
        }
    }

    CExporter exporter(state.Path());
    std::vector<std::string> expected;
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string port = "port=\"" + std::to_string(lines[i]->server->Port()) + "\"";
        const std::string device = i == 0 ? lines[i]->dir.Path() + "tty\\\\xe9\\\"" : lines[i]->a;
        expected.push_back("rs232_up{device=\"" + device + "\"," + port + "} 1\n");
        std::map<std::pair<std::string, std::string>, int> counts;
        for (const auto& request : requests[i]) ++counts[request];
        for (const auto& [request, n] : counts)
            expected.push_back("rs232_requests_total{" + port + ",request=\"" + request.first + "\",result=\"" +
                               request.second + "\"} " + std::to_string(n) + "\n");
    }
    expected.push_back("rs232_transferred_bytes_total{direction=\"upload\",port=\"" +
                       std::to_string(lines[2]->server->Port()) + "\"} 6000\n");
    std::string page;
    const auto missing = [&] {
        for (const std::string& series : expected)
            if (page.find(series) == std::string::npos) return series;
        return std::string();
    };
    for (auto deadline = std::chrono::steady_clock::now() + 30s; !missing().empty() && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(200ms))
        page = exporter.Metrics();
    EXPECT_EQ(missing(), "") << page;
    EXPECT_NE(page.find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << page;

    auto [code, states] = Status(state.Path());
    EXPECT_EQ(code, 0);
    EXPECT_EQ(states.size(), 3u);
    for (const auto& [port, health] : states) EXPECT_EQ(health, "up") << port;
    EXPECT_EQ(RunProgram({RS232_STATUS_EXE, state.Path()}, 30s).code, 0);

    // A killed server leaves its file behind: stale once not written for a minute.
    const int killed = lines[1]->server->Port();
    EXPECT_EQ(lines[1]->server->Stop(SIGKILL), 128 + SIGKILL);
    const auto since = std::chrono::steady_clock::now();
    do std::tie(code, states) = Status(state.Path());
    while (code == 0 && std::chrono::steady_clock::now() - since < 75s && (std::this_thread::sleep_for(1s), true));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(states[killed], "stale");

    // Every request's record, in order; a whole FT or RF names the file, its size and CRC-32.
    CCrc32 crc;
    crc.BuildTable();
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string logDir = lines[i]->base + "LOG/", prefix = "AUDIT" + std::to_string(lines[i]->server->Port()) + "_";
        std::istringstream records;
        for (const std::string& name : ListDir(logDir))
            if (name.starts_with(prefix) && name.ends_with(".jsonl")) records.str(ReadWholeFile(logDir + name));
        size_t n = 0;
        for (std::string text; std::getline(records, text); ++n) {
            const json record = json::parse(text);
            ASSERT_LT(n, requests[i].size()) << text;
            const auto& [request, result] = requests[i][n];
            EXPECT_EQ(record["request"], request) << text;
            EXPECT_EQ(record["result"], result) << text;
            EXPECT_EQ(record["port"], lines[i]->server->Port()) << text;
            EXPECT_TRUE(std::regex_match(record["time"].get<std::string>(), std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[-+]\\d\\d:\\d\\d")));
            EXPECT_EQ(record.contains("file"), request != "DR") << text;
            if ((request == "FT" || request == "RF") && result == "served") {
                // A name that is not UTF-8 by its exact bytes.
                const auto name = [&](const std::string& key) {
                    if (!record.contains(key + "_bytes")) return record[key].get<std::string>();
                    std::string bytes, hex = record[key + "_bytes"];
                    for (size_t k = 0; k < hex.size(); k += 2) bytes += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
                    return bytes;
                };
                const std::string content = ReadWholeFile(name("file"));
                EXPECT_EQ(record["bytes"], content.size()) << text;
                EXPECT_EQ(record["crc32"], FormatText("%08x", crc.Calculate(content.data(), content.size()))) << text;
                if (request == "FT") {
                    EXPECT_EQ(ReadWholeFile(name("backup")), content) << text;
                }
            }
        }
        EXPECT_EQ(n, requests[i].size()) << i;
    }
}


// rs232-status on whatever a state directory may hold: one row for each port<N>.prom named as
// the server names it, in bounded time, never "up" for a file it cannot trust; exit status 1.
TEST(Monitoring, StatusShowsEachBadFileAsItsPortsProblem) {
    CTempDir dir;
    const std::string now = std::to_string(std::time(nullptr));
    const auto state = [&](int port, const std::string& up, const std::string& device = "/dev/ttyS0") {
        const std::string label = "{port=\"" + std::to_string(port) + "\"";
        return "rs232_up" + label + ",device=\"" + device + "\"} " + up + "\nrs232_updated_timestamp_seconds" + label + "} " + now + "\n";
    };
    // Per file: its content (@: a special file) and its port's state, none when not listed.
    const std::vector<std::tuple<std::string, std::string, std::string>> table = {
        {"port51.prom", "@fifo", "unreadable"}, {"port52.prom", "@/dev/zero", "unreadable"},
        {"port53.prom", "@sparse", "unreadable"}, {"port54.prom", "@loop", "unreadable"},
        {"port050.prom", state(50, "1"), ""}, {"port100.prom", state(100, "1"), ""},
        {"port55.prom", state(55, "NaN"), "invalid"}, {"port56.prom", state(56, "2"), "invalid"},
        {"port57.prom", state(57, "1") + "rs232_requests_total{port=\"57\",request=\"FT\",result=\"served\"} -Inf\n", "invalid"},
        {"port58.prom", state(7, "1"), "invalid"}, {"port59.prom", state(59, "1", "/dev/a\\nb\x1b[2J"), "up"},
    };
    std::map<int, std::string> expected;
    for (const auto& [name, content, health] : table) {
        const std::string path = dir / name;
        if (content == "@fifo") {
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        } else if (content == "@sparse") {
            dir.WriteFile(name, "");
            std::filesystem::resize_file(path, 4ull << 30);
        } else if (content[0] == '@') {
            std::filesystem::create_symlink(content == "@loop" ? name : content.substr(1), path);
        } else {
            dir.WriteFile(name, content);
        }
        if (!health.empty()) expected[std::stoi(name.substr(4))] = health;
    }
    for (int i = 0; i < 2000; ++i) dir.WriteFile("other" + std::to_string(i), "rs232_up{port=\"60\"} 1\n");

    auto [code, states] = Status(dir.Path());
    EXPECT_EQ(code, 1);
    EXPECT_EQ(states, expected);
    // The table from RS232_STATUS_DIR: a row a port, the device's control characters escaped.
    CChild plain({RS232_STATUS_EXE}, {}, {{"RS232_STATUS_DIR", dir.Path()}});
    EXPECT_EQ(plain.Wait(30s), 1);
    const std::string rows = plain.Out();
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 1 + static_cast<long>(expected.size())) << rows;
    EXPECT_NE(rows.find(" /dev/a\\nb\\x1b[2J "), std::string::npos) << rows;
    for (const auto& [name, content, health] : table)
        if (health != "up") std::filesystem::remove(dir / name);
    EXPECT_EQ(Status(dir.Path()).first, 0);
}

// The audit file under a file size limit and after a crash: each record whole on a line of its
// own, and the server serving on.
TEST(Monitoring, AuditRecordsStayWholeUnderAFileSizeLimit) {
    SLine line({"--baud", "0"});
    CPortLease lease;
    const int port = lease.Port();
    char day[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
    const std::string audit = line.base + "LOG/AUDIT" + std::to_string(port) + "_" + day + ".jsonl";
    std::filesystem::create_directories(line.base + "LOG");
    std::string lines;
    size_t earlier = 0;
    for (; lines.size() < 100000; ++earlier) lines += "{\"earlier\":1}\n";
    const std::string cut = "{\"time\":\"2026-01-01T00:00:00+00:00\",\"por";  // by a crash
    line.dir.WriteFile(audit, lines + cut);
    const std::string settings = "[COMPORT]\nBAUDRATE=115200\n[PORTS]\nCOM" + std::to_string(port) + "=" + line.a + "\n[LOG]\nAUDIT=1\n";
    // Without a limit the record follows the cut line; with one, the records do not fit.
    for (const bool limited : {false, true}) {
        const size_t size = ReadWholeFile(audit).size();
        const std::string limit = limited ? "prlimit --fsize=" + std::to_string(size + 100) + " -- " : "";
        CServer server(line.dir, port, {{std::to_string(port), line.base}, settings, {}, "exec " + limit + "\"$0\" \"$@\""});
        ASSERT_TRUE(server.Started()) << server.Err();
        for (int i = 0; i < 2; ++i) EXPECT_EQ(line.Client({"date"}).code, 0);
        if (limited) {
            EXPECT_TRUE(server.WaitFor("Audit record not written", 30s));
            EXPECT_EQ(ReadWholeFile(audit).size(), size);
        }
        EXPECT_EQ(server.Stop(SIGTERM), 0);
    }
    std::istringstream records(ReadWholeFile(audit));
    size_t n = 0;
    for (std::string text; std::getline(records, text); ++n) {
        if (n == earlier) {
            EXPECT_EQ(text, cut);
        } else if (n > earlier) {
            EXPECT_EQ(json::parse(text)["request"], "DR") << text;
        }
    }
    EXPECT_EQ(n, earlier + 1 + 2);
}

// A state directory renamed, then made again: one line each way, the file written by its path,
// never under the directory's new name (a read-only one stops no root user, so this fault).
TEST(Monitoring, StateDirectoryFaultsGiveOneLineEachWay) {
    CTempDir top;
    const std::string state = top / "state", moved = top / "moved";
    std::filesystem::create_directory(state);
    SLine line({"--baud", "0"});
    line.StartServer("[STATUS]\nDIR=" + state + "\n");
    const std::string name = "/port" + std::to_string(line.server->Port()) + ".prom", file = state + name;
    const auto until = [&](const std::string& text) {  // requests change the state, to be written
        for (int i = 0; i < 30 && !line.server->WaitFor(text, 2s); ++i) line.Client({"date"});
        return line.server->WaitFor(text, 0s);
    };
    ASSERT_TRUE(until("State file is: " + file));
    std::filesystem::rename(state, moved);
    EXPECT_TRUE(until("State file " + file + " not written: "));
    const std::string movedText = ReadWholeFile(moved + name);
    for (int i = 0; i < 3; ++i) {  // more attempts, each after a change and a second
        line.Client({"date"});
        std::this_thread::sleep_for(1100ms);
    }
    std::filesystem::create_directory(state);
    EXPECT_TRUE(until("State file " + file + " written again"));
    const std::string out = line.server->Out();
    EXPECT_EQ(out.find(" not written: "), out.rfind(" not written: ")) << out;
    EXPECT_EQ(out.find(" written again"), out.rfind(" written again")) << out;
    EXPECT_EQ(ReadWholeFile(moved + name), movedText);
    EXPECT_TRUE(std::filesystem::exists(file));
}

// A refused start, whatever its reason, leaves the port down where the last run left it stopped.
TEST(Monitoring, RefusedStartLeavesThePortDown) {
    CTempDir dir, state;
    CPortLease lease;
    const std::string port = std::to_string(lease.Port());
    for (const std::string& settings : {"[PORTS]\nCOM" + port + "=" + dir.Path() + "none\n", std::string("[PORTS]\ngarbled\n")}) {
        state.WriteFile("port" + port + ".prom", "rs232_up{port=\"" + port + "\",device=\"x\"} 0\n"
                        "rs232_stopped_timestamp_seconds{port=\"" + port + "\"} 1\n");
        CServer server(dir, lease.Port(), {{port, dir.Path()}, settings, {{"RS232_STATUS_DIR", state.Path()}}});
        EXPECT_EQ(server.Wait(), 1) << settings;
        EXPECT_EQ(Status(state.Path()), std::make_pair(1, std::map<int, std::string>{{lease.Port(), "down"}})) << settings;
    }
}

// A download paced by the server's block pause: its progress reaches the state file while it
// runs, and the port is up throughout.
TEST(Monitoring, LongDownloadShowsProgressAndStaysUp) {
    CTempDir state;
    SLine line({"--baud", "0"});
    line.dir.WriteFile(line.base + "big", Text(Pattern(80 * 500, 3)));
    line.StartServer("BLOCKPAUSE=100\n[STATUS]\nDIR=" + state.Path() + "\n");
    for (int i = 0; i < 300 && Status(state.Path()).second.empty(); ++i) std::this_thread::sleep_for(100ms);
    CChild client(line.Args({"get", "big", "got"}), line.dir.Path());
    std::set<long long> seen;
    while (client.Running()) {
        const SRunResult r = RunProgram({RS232_STATUS_EXE, "--json", state.Path()}, 30s);
        const json ports = json::parse(r.out);
        ASSERT_EQ(ports.size(), 1u) << r.out;
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(ports[0]["state"], "up") << r.out;
        if (!ports[0]["transfer"].is_null()) seen.insert(ports[0]["transfer"]["done"].get<long long>());
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(client.Wait(), 0) << client.Err();
    EXPECT_GE(seen.size(), 3u);  // about 4 s of blocks, a write a second
}

}  // namespace
}  // namespace rs232::test
