// Three servers on virtual lines, watched as a site watches them: the real
// prometheus-node-exporter on their state directory, rs232-status as a check, and the audit
// records held against the files they name.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
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
        {{{"put", "up.bin", "sub/"}, "DR served FT served IR served"}, {{"rm", "r1"}, "IR served DF served IR refused"}},
    };
    CPortLease lease({0, 0, 0});
    std::vector<std::unique_ptr<SLine>> lines;
    std::vector<std::vector<std::pair<std::string, std::string>>> requests(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        lines.push_back(std::make_unique<SLine>(std::vector<std::string>{"--baud", "0"}));
        SLine& line = *lines.back();
        line.dir.WriteFile("up.bin", Text(Pattern(3000, static_cast<unsigned>(i))));
        line.dir.WriteFile(line.base + "r1", Text(Pattern(1500 + i, 9)));
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
        expected.push_back("rs232_up{device=\"" + lines[i]->a + "\"," + port + "} 1\n");
        std::map<std::pair<std::string, std::string>, int> counts;
        for (const auto& request : requests[i]) ++counts[request];
        for (const auto& [request, n] : counts)
            expected.push_back("rs232_requests_total{" + port + ",request=\"" + request.first + "\",result=\"" +
                               request.second + "\"} " + std::to_string(n) + "\n");
    }
    expected.push_back("rs232_transferred_bytes_total{direction=\"upload\",port=\"" +
                       std::to_string(lines[2]->server->Port()) + "\"} 3000\n");
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
                const std::string content = ReadWholeFile(record["file"]);
                EXPECT_EQ(record["bytes"], content.size()) << text;
                EXPECT_EQ(record["crc32"], FormatText("%08x", crc.Calculate(content.data(), content.size()))) << text;
                if (request == "FT") {
                    EXPECT_EQ(ReadWholeFile(record["backup"]), content) << text;
                }
            }
        }
        EXPECT_EQ(n, requests[i].size()) << i;
    }
}

}  // namespace
}  // namespace rs232::test
