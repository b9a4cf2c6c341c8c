// Start-up of the real executable: the event lines and their order, the settings file, the
// directories.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "ServerProcess.h"
#include "support/Pty.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

const std::regex kMemoryLine(R"(Memory -> phys: [1-9][0-9]* kB avail: [0-9]+ kB load: [0-9]+%)");

// The settings file's bytes and modification time, to prove it was left alone.
struct SFileState {
    std::string bytes;
    fs::file_time_type mtime;
    bool operator==(const SFileState&) const = default;
};
SFileState StateOf(const std::string& path) {
    return {ReadWholeFile(path), fs::last_write_time(path)};
}

void AgeFile(const std::string& path) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(2));
}

TEST(Startup, MissingSettingsFileIsCreatedWithTheDefaultRate) {
    CTempDir dir;
    InstallServer(dir);
    // Without [PORTS] port 2 is /dev/ttyS1: whether it opens is the machine's business, so the
    // test follows start-up only up to the first tick.
    CServerProcess server(dir, {"2"});
    ASSERT_TRUE(server.WaitForLine("Baudrate is: 57600")) << server.Stdout() << server.Stderr();
    server.Signal(SIGTERM);
    server.WaitExit();
    EXPECT_EQ(ReadWholeFile(dir / "rs232-server.ini"), "[COMPORT]\nBAUDRATE=57600\n");
    EXPECT_TRUE(fs::is_directory(dir / "BAK"));
    EXPECT_TRUE(fs::is_directory(dir / "LOG"));
}

TEST(Startup, LinesInOrderFromAnExistingSettingsFileLeftUntouched) {
    struct SCase {
        std::string settings;  // %s: the pty
        int port;
        int rate;
    };
    const std::vector<SCase> cases = {
        // Section and key names match regardless of case, as the profile functions do.
        {"[comport]\r\nbaudrate=9600\r\n[PORTS]\r\nCOM7=%s\r\n", 7, 9600},
        {"; another section only\n[PORTS]\nCOM8 = %s\n", 8, 57600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("port " + std::to_string(c.port));
        CTempDir dir;
        CPty pty;
        InstallServer(dir);
        fs::create_directory(dir / "base");
        std::string settings = c.settings;
        settings.replace(settings.find("%s"), 2, pty.SlavePath());
        dir.WriteFile("rs232-server.ini", settings);
        AgeFile(dir / "rs232-server.ini");
        const SFileState before = StateOf(dir / "rs232-server.ini");

        const std::string base = dir / "base/";
        const std::string port = std::to_string(c.port);
        CServerProcess server(dir, {port, base});
        ASSERT_TRUE(server.WaitForLine("Rs232 Server started ...")) << server.Stderr();
        server.Signal(SIGTERM);
        ASSERT_EQ(server.WaitExit(), 0);

        const std::vector<std::string> expected = {
            "Command line is: >" + port + " " + base + "<",
            "Program (Version 01.00.00.00) started ...",
            "Application path is: " + dir.Path(),
            "Com port is: " + port,
            "Base path is: " + base,
            "Baudrate is: " + std::to_string(c.rate),
            "(memory)",
            "Rs232 Server started ...",
            "Server stopped !",
            "Program closed !",
        };
        auto matches = [&](const std::vector<std::string>& lines, size_t from) {
            if (lines.size() != expected.size() - from) return false;
            for (size_t i = from; i < expected.size(); ++i) {
                const std::string& line = lines[i - from];
                if (expected[i] == "(memory)" ? !std::regex_match(line, kMemoryLine)
                                              : line != expected[i])
                    return false;
            }
            return true;
        };
        EXPECT_TRUE(matches(server.Lines(), 0)) << server.Stdout();
        // The first line is written before the log directory is known: it lands in the
        // date-named file of the working directory, the rest in the daily log file.
        const auto logLines = LogLines(base + "LOG/", c.port);
        EXPECT_TRUE(matches(logLines, 1)) << ReadWholeFile(base + "LOG/" + ListDir(base + "LOG/").at(0));
        bool dated = false;
        for (const auto& name : ListDir(dir.Path()))
            if (std::regex_match(name, std::regex("20[0-9]{6}\\.LOG")))
                dated = ReadWholeFile(dir / name).find(expected[0] + "\r\n") != std::string::npos;
        EXPECT_TRUE(dated);
        EXPECT_TRUE(fs::is_directory(base + "BAK"));
        EXPECT_TRUE(StateOf(dir / "rs232-server.ini") == before);
    }
}

TEST(Startup, DirectoriesThatCannotBeMadeEndTheProgram) {
    CTempDir dir;
    InstallServer(dir);
    dir.WriteFile("plain", "a file, not a directory");
    const std::string base = dir / "plain/";
    std::string out, err;
    EXPECT_EQ(RunServer(dir, {"10", base}, &out, &err), 1);
    EXPECT_EQ(err, "Backup Dir Error\nLog Dir Error\n");
    // The window is gone after the first message: only the line before it was shown, and the
    // server was never started.
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(WithoutStamp(out.substr(0, out.size() - 1)), "Command line is: >10 " + base + "<");
    // Start-up still finished its steps: the settings file was created.
    EXPECT_TRUE(fs::exists(dir / "rs232-server.ini"));
}

}  // namespace
}  // namespace rs232::test
