// The Windows programs under wine against the Linux ones, over the virtual null-modem: the
// Windows server on COM3 (a wine device link to end a) with the Linux client on end b, and the
// Windows client on COM5 against the Linux server. Each test has a wine prefix of its own, so
// its COM links and instance mutexes meet no other test's. Skipped without the Windows build.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "platform/Clock.h"
#include "platform/TextFormat.h"
#include "support/Line.h"
#include "support/Ser2net.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

const std::string kWinBuild = RS232_WINDOWS_BUILD;

// A fresh wine prefix in dir with the given COM links; empty when wine could not make it.
std::string MakePrefix(const CTempDir& dir, const std::map<int, std::string>& links) {
    const std::string prefix = dir / "wine";
    if (RunProgram({"bash", RS232_WINE_PREFIX_SCRIPT, prefix}, 180s).code != 0) return {};
    for (const auto& [com, device] : links)
        fs::create_symlink(device, prefix + "/dosdevices/com" + std::to_string(com));
    return prefix;
}

// A Linux path as the Windows programs see it under wine.
std::string WinePath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

std::map<std::string, std::string> WineEnv(const std::string& prefix, bool headless = true) {
    return {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}, {"RS232_HEADLESS", headless ? "1" : "0"}};
}

// Lines ending in CR LF, as the Windows programs write them to files and to stdout.
std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

TEST(Wine, WindowsServerServesTheLinuxClient) {
    if (!fs::exists(kWinBuild + "/src/app/rs232-server.exe")) GTEST_SKIP() << "no Windows build";
    SLine line({"--baud", "115200"});
    const std::string prefix = MakePrefix(line.dir, {{3, line.a}});
    ASSERT_FALSE(prefix.empty()) << ReadWholeFile(prefix + ".log");
    // A private copy with its settings beside it, started in a directory of its own.
    const std::string exe = line.dir / "rs232-server.exe", work = line.dir / "work";
    fs::copy_file(kWinBuild + "/src/app/rs232-server.exe", exe);
    line.dir.WriteFile("rs232-server.ini",
                       "[COMPORT]\r\nBAUDRATE=115200\r\n[PORTS]\r\nCOM4=tcp+tls://127.0.0.1:9\r\n");
    fs::create_directory(work);
    const std::string base = WinePath(line.base);
    CChild server({"wine", exe, "3", base}, work, WineEnv(prefix));
    ASSERT_TRUE(server.WaitFor("Device is: COM3\r\n", 120s)) << server.Out() << server.Err();

    // The start-up lines, in stdout and in the logs, byte for byte.
    const std::vector<std::string> stamped = CrLfLines(server.Out());
    std::vector<std::string> out;
    for (const std::string& l : stamped) out.push_back(WithoutStamp(l));
    const std::vector<std::string> expected = {
        "Command line is: >3 " + base + "<", "Program (Version 01.00.00.00) started ...",
        "Application path is: " + WinePath(line.dir.Path()), "Com port is: 3",
        "Base path is: " + base, "Baudrate is: 115200", "MEMORY", "Rs232 Server started ...",
        "Device is: COM3"};
    ASSERT_EQ(out.size(), expected.size()) << server.Out();
    for (size_t i = 0; i < out.size(); ++i) {
        if (expected[i] == "MEMORY")
            EXPECT_TRUE(std::regex_match(out[i], std::regex(
                "Memory -> phys: [0-9]+ kB avail: [0-9]+ kB load: [0-9]+%")));
        else
            EXPECT_EQ(out[i], expected[i]);
    }
    const CLocalTime now = LocalNow();
    const std::string day = FormatText("%04d%02d%02d", now.year, now.month, now.day);
    const std::vector<std::string> first = CrLfLines(ReadWholeFile(work + "/" + day + ".LOG"));
    // The log may take its last line a moment after stdout.
    std::vector<std::string> rest;
    for (int i = 0; i < 600 && rest.size() + 1 < stamped.size(); ++i) {
        if (i) std::this_thread::sleep_for(100ms);
        rest = CrLfLines(ReadWholeFile(line.base + "LOG/LOG3_" + day + ".LOG"));
    }
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], stamped[0]);
    ASSERT_GE(rest.size(), stamped.size() - 1);
    for (size_t i = 1; i < stamped.size(); ++i) EXPECT_EQ(rest[i - 1], stamped[i]);

    // A second server on the port is refused.
    CChild second({"wine", exe, "3", base}, work, WineEnv(prefix));
    EXPECT_EQ(second.Wait(120s), 1);
    EXPECT_EQ(second.Err(), "Program already running on port 3 !\r\n");
    // A TLS line is refused at start, in words, before anything connects.
    CChild tls({"wine", exe, "4", base}, work, WineEnv(prefix));
    EXPECT_EQ(tls.Wait(120s), 1);
    EXPECT_NE(tls.Err().find("this build for Windows has no TLS"), std::string::npos) << tls.Err();

    // All seven requests, files compared byte for byte.
    const Bytes data = Pattern(5000, 28);
    line.dir.WriteFile("up.bin", std::string(data.begin(), data.end()));
    const std::string l = line.dir.Path();
    const struct {
        std::vector<std::string> args;
        std::string out;
    } requests[] = {
        {{"date"}, "UTC"},
        {{"put", l + "up.bin", "in.bin"}, "confirmed by the server"},
        {{"info", "in.bin"}, "5000 bytes"},
        {{"get", "in.bin", l + "down.bin"}, "5000 bytes"},
        {{"cp", "in.bin", "copy.bin"}, "copied"},
        {{"ls"}, "copy.bin"},
        {{"rm", "copy.bin"}, "removed"},
        {{"info", "sub\\CON.txt"}, ""},
    };
    for (const auto& r : requests) {
        const SRunResult run = line.Client(r.args);
        EXPECT_NE(run.out.find(r.out), std::string::npos) << r.args[0] << ": " << run.out << run.err;
    }
    EXPECT_EQ(ReadWholeFile(line.base + "in.bin"), std::string(data.begin(), data.end()));
    EXPECT_EQ(ReadWholeFile(l + "down.bin"), std::string(data.begin(), data.end()));
    EXPECT_FALSE(fs::exists(line.base + "copy.bin"));
    const std::vector<std::string> backups = ListDir(line.base + "BAK");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(std::regex_match(backups[0], std::regex("BAK3_[0-9]{14}_in\\.bin")));
    EXPECT_EQ(ReadWholeFile(line.base + "BAK/" + backups[0]), ReadWholeFile(line.base + "in.bin"));
    EXPECT_TRUE(server.WaitFor("refused: CON.txt is a device name on this system\r\n", 30s));

    // Ctrl+C closes it as the close button would.
    EXPECT_EQ(server.Stop(SIGINT, 60s), 0);
    const std::vector<std::string> last = CrLfLines(server.Out());
    ASSERT_GE(last.size(), 2u);
    EXPECT_EQ(WithoutStamp(last[last.size() - 2]), "Server stopped !");
    EXPECT_EQ(WithoutStamp(last.back()), "Program closed !");

    // The window (under wine's null driver): its ticks serve the line, Ctrl+C closes it.
    const std::string log = line.base + "LOG/LOG3_" + day + ".LOG";
    const size_t before = CrLfLines(ReadWholeFile(log)).size();
    CChild window({"wine", exe, "3", base}, work, WineEnv(prefix, false));
    // True once a line written since `before` ends in text; false after two minutes.
    const auto logged = [&](const std::string& text) {
        for (int i = 0; i < 1200; ++i, std::this_thread::sleep_for(100ms)) {
            const std::vector<std::string> lines = CrLfLines(ReadWholeFile(log));
            if (std::any_of(lines.begin() + static_cast<long>(std::min(before, lines.size())),
                            lines.end(), [&](const std::string& l) { return l.ends_with(text); }))
                return true;
        }
        return false;
    };
    ASSERT_TRUE(logged("Device is: COM3")) << window.Err();
    EXPECT_NE(line.Client({"date"}).out.find("UTC"), std::string::npos);
    EXPECT_TRUE(logged("Actual date/time transmitted to Client!"));
    EXPECT_EQ(window.Stop(SIGINT, 60s), 0);
    EXPECT_TRUE(logged("Program closed !"));
}

// The Windows server on a tcp:// line: a real ser2net on loopback in front of each end, so that
// both ends have the speed ser2net sets.
TEST(Wine, WindowsServerServesThroughTcp) {
    if (!fs::exists(kWinBuild + "/src/app/rs232-server.exe")) GTEST_SKIP() << "no Windows build";
    SLine line({"--baud", "0"});
    const CSer2net ser2net(line.dir, "tcp", line.a), clientSide(line.dir, "tcp", line.b);
    const std::string prefix = MakePrefix(line.dir, {});
    ASSERT_FALSE(prefix.empty()) << ReadWholeFile(prefix + ".log");
    const std::string exe = line.dir / "rs232-server.exe";
    fs::copy_file(kWinBuild + "/src/app/rs232-server.exe", exe);
    line.dir.WriteFile("rs232-server.ini", "[PORTS]\r\nCOM7=" + ser2net.Url() + "\r\n");
    CChild server({"wine", exe, "7", WinePath(line.base)}, line.dir.Path(), WineEnv(prefix));
    ASSERT_TRUE(server.WaitFor("Device is: " + ser2net.Url() + "\r\n", 120s)) << server.Out() << server.Err();
    const Bytes data = Pattern(3000, 7);
    line.dir.WriteFile("up.bin", std::string(data.begin(), data.end()));
    const SRunResult put = line.Client({"put", line.dir / "up.bin", "in.bin"}, clientSide.Url());
    EXPECT_NE(put.out.find("confirmed by the server"), std::string::npos)
        << put.out << put.err << server.Out() << server.Err();
    EXPECT_TRUE(ReadWholeFile(line.base + "in.bin") == std::string(data.begin(), data.end()));
    EXPECT_EQ(server.Stop(SIGINT, 60s), 0);
}

TEST(Wine, WindowsClientAgainstTheLinuxServer) {
    if (!fs::exists(kWinBuild + "/tools/client/rs232-client.exe")) GTEST_SKIP() << "no Windows build";
    SLine line({"--baud", "115200"}, true);
    const std::string prefix = MakePrefix(line.dir, {{5, line.b}});
    ASSERT_FALSE(prefix.empty()) << ReadWholeFile(prefix + ".log");
    const Bytes data = Pattern(3000, 5);
    line.dir.WriteFile("up.bin", std::string(data.begin(), data.end()));
    const std::string client = kWinBuild + "/tools/client/rs232-client.exe";
    const auto run = [&](const std::vector<std::string>& args) {
        CChild c(Join({"wine", client, "--device", "COM5", "--baud", "115200"}, args),
                 line.dir.Path(), WineEnv(prefix));
        const int code = c.Wait(120s);
        return std::pair{code, c.Out() + c.Err()};
    };
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"date"}, "UTC"},
        {{"put", "up.bin", "in.bin"}, "confirmed by the server"},
        {{"get", "in.bin", "back.bin"}, "3000 bytes"},
        {{"ls"}, "in.bin"},
    };
    for (const auto& c : cases) {
        const auto [code, text] = run(c.args);
        EXPECT_EQ(code, 0) << c.args[0] << ": " << text;
        EXPECT_NE(text.find(c.out), std::string::npos) << c.args[0] << ": " << text;
    }
    EXPECT_EQ(ReadWholeFile(line.base + "in.bin"), std::string(data.begin(), data.end()));
    EXPECT_EQ(line.dir.ReadFile("back.bin"), std::string(data.begin(), data.end()));
}

}  // namespace
}  // namespace rs232::test
