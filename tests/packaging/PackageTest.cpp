// The Debian package as an administrator receives it: its contents and metadata, and the
// extracted executable started the way the package's systemd unit and desktop entry start it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>

#include "support/Process.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

// Runs a tool to its end; its output, stdout and stderr together. A failure is the test's
// unless the caller takes the status.
std::string RunTool(const std::vector<std::string>& argv, int* status = nullptr,
                    const std::string& cwd = "") {
    const SRunResult r = RunProgram(argv, 90s, cwd);
    if (status) *status = r.code;
    else EXPECT_EQ(r.code, 0) << argv[0] << " " << argv[1] << "\n" << r.out << r.err;
    return r.out + r.err;
}

// Builds the package from the build tree into dir; returns the .deb's path.
std::string BuildPackage(const CTempDir& dir) {
    RunTool({RS232_CPACK, "-G", "DEB", "--config", std::string(RS232_BUILD_DIR) + "/CPackConfig.cmake",
         "-B", dir / "out"},
        nullptr, RS232_BUILD_DIR);
    for (const auto& entry : fs::directory_iterator(dir / "out"))
        if (entry.path().extension() == ".deb") return entry.path();
    ADD_FAILURE() << "no package in " << dir / "out";
    return {};
}

// "Key=value" lines of one section of an INI-style file (the first value of a repeated key).
std::map<std::string, std::string> ReadSection(const std::string& path, const std::string& name) {
    std::map<std::string, std::string> keys;
    std::ifstream in(path);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with('[')) inside = line == "[" + name + "]";
        else if (inside && line.find('=') != std::string::npos && !line.starts_with('#'))
            keys.emplace(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
    }
    return keys;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A desktop entry's Exec value as an argument vector: string escapes first, then the
// double-quote rule (inside quotes a backslash takes the next character literally).
std::vector<std::string> ParseExec(const std::string& value) {
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i] == '\\' && i + 1 < value.size() ? value[++i] : '\0';
        text += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c ? c : value[i];
    }
    std::vector<std::string> args;
    std::optional<std::string> arg;  // none between arguments
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ' && !quoted) {
            if (arg) args.push_back(*arg);
            arg.reset();
            continue;
        }
        if (!arg) arg.emplace();
        if (text[i] == '"') quoted = !quoted;
        else *arg += quoted && text[i] == '\\' && i + 1 < text.size() ? text[++i] : text[i];
    }
    EXPECT_FALSE(quoted) << value;
    if (arg) args.push_back(*arg);
    return args;
}

// The extracted tree made usable in place: the settings symlink points into it, as it would
// point into / on an installed system, and the shipped settings map the test's ports to pty.
void MapSettings(const std::string& root, const std::string& pty) {
    const std::string link = root + "usr/bin/rs232-server.ini";
    ASSERT_EQ(fs::read_symlink(link), "/etc/rs232-server.ini");
    const std::string settings = root + "etc/rs232-server.ini";
    std::string mapped = ReadWholeFile(settings);
    const size_t ports = mapped.find("[PORTS]\n");
    ASSERT_NE(ports, std::string::npos) << "the shipped settings show the port map";
    mapped.insert(ports + 8, "COM1=" + pty + "\nCOM8=" + pty + "\n");
    std::ofstream(settings, std::ios::binary) << mapped;
    fs::remove(link);
    fs::create_symlink(settings, link);
}

// Starts the server on its leased port, waits for it to run and closes it with SIGTERM;
// returns its output.
std::string StartAndClose(int port, const std::vector<std::string>& argv, const std::string& cwd,
                          const std::map<std::string, std::string>& env = {}) {
    CPortLease lease(port);
    CChild server(argv, cwd, env);
    EXPECT_TRUE(server.WaitFor("Rs232 Server started ...\n")) << server.Out() << server.Err();
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Out() << server.Err();
    EXPECT_NE(server.Out().find("Program closed !"), std::string::npos);
    return server.Out();
}

TEST(Package, HoldsTheInstallAndItsServerRunsAsItsUnitAndDesktopEntryStartIt) {
    CTempDir dir;
    const std::string deb = BuildPackage(dir), root = dir / "root/";
    ASSERT_FALSE(deb.empty());

    std::map<std::string, std::string> listed;  // path -> mode, or link target; no directories
    std::istringstream list(RunTool({"dpkg-deb", "-c", deb}));
    for (std::string line; std::getline(list, line);) {
        const auto w = Words(line);
        EXPECT_EQ(w.at(1), "root/root") << line;
        if (w[0][0] != 'd') listed[w.at(5)] = w.size() >= 8 && w[6] == "->" ? "-> " + w[7] : w[0];
    }
    const std::string exe = "-rwxr-xr-x", file = "-rw-r--r--";
    std::map<std::string, std::string> expected = {
        {"./usr/bin/rs232-server", exe},
        {"./usr/bin/rs232-server.ini", "-> /etc/rs232-server.ini"},
        {"./etc/rs232-server.ini", file},
        {"./usr/lib/systemd/system/rs232-server@.service", file},
        {"./usr/share/applications/rs232-server.desktop", file},
        {"./usr/share/icons/hicolor/scalable/apps/rs232-server.svg", file},
        {"./usr/share/man/man1/rs232-server.1", file},
    };
#ifdef RS232_CLIENT_EXE
    expected["./usr/bin/rs232-client"] = exe;
    expected["./usr/share/man/man1/rs232-client.1"] = file;
#endif
#ifdef RS232_NULLMODEM_EXE
    expected["./usr/bin/rs232-nullmodem"] = exe;
    expected["./usr/share/man/man1/rs232-nullmodem.1"] = file;
#endif
    EXPECT_EQ(listed, expected);

    const std::string info = RunTool({"dpkg-deb", "-I", deb});
    for (const std::string& text : std::vector<std::string>{
             " Package: rs232-server\n", " Version: 1.0.0.0\n",
          " Architecture: " + RunTool({"dpkg", "--print-architecture"}),
          " Maintainer: rs232-server maintainers <",
          // README's first paragraph, wrapped.
          "\n  rs232-server gives one client device on an RS232 serial line"})
        EXPECT_NE(info.find(text), std::string::npos) << text << " in\n" << info;
    EXPECT_EQ(info.find('`'), std::string::npos) << info;
    // Found by shlibdeps from what the executables link.
    EXPECT_TRUE(std::regex_search(info, std::regex(" Depends: .*libc6 .*libqt6widgets6 .*libsimpleini1")))
        << info;

    // dpkg keeps an administrator's settings; the scripts are valid shell.
    RunTool({"dpkg-deb", "-e", deb, dir / "control"});
    EXPECT_EQ(ReadWholeFile(dir / "control/conffiles"), "/etc/rs232-server.ini\n");
    for (const std::string script : {"postinst", "prerm", "postrm"}) {
        EXPECT_EQ(access((dir / "control/" + script).c_str(), X_OK), 0) << script;
        RunTool({"sh", "-n", dir / "control/" + script});
    }

    RunTool({"dpkg-deb", "-x", deb, root});
    CPty pty;
    MapSettings(root, pty.SlavePath());
    const std::string settingsBefore = ReadWholeFile(root + "etc/rs232-server.ini");

    // The unit for port 8: each absolute path in it is taken inside the extracted tree.
    const auto unit = ReadSection(root + "usr/lib/systemd/system/rs232-server@.service", "Service");
    EXPECT_EQ(unit.at("StateDirectory"), "rs232-server");
    EXPECT_EQ(unit.at("WorkingDirectory"), "/var/lib/rs232-server");
    EXPECT_EQ(unit.count("Environment"), 0u) << "nothing may name a display";
    EXPECT_EQ(unit.at("UnsetEnvironment"), "DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM");
    EXPECT_EQ(unit.at("Restart"), "on-failure");
    EXPECT_EQ(unit.at("KillSignal"), "SIGTERM");
    std::vector<std::string> argv;
    for (std::string word : Words(unit.at("ExecStart")))
        argv.push_back(word == "%i" ? "8" : word[0] == '/' ? root + word.substr(1) : word);
    const std::string state = root + "var/lib/rs232-server";
    // The base path is the state directory, which systemd makes before the start.
    ASSERT_EQ(argv, (std::vector<std::string>{root + "usr/bin/rs232-server", "8", state + "/"}));
    fs::create_directories(state);
    std::string out = StartAndClose(8, argv, state);
    EXPECT_NE(out.find("Base path is: " + state + "/\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Baudrate is: 57600\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(state + "/LOG") && fs::is_directory(state + "/BAK"));
    bool firstLineFile = false;  // the line written before the log directory is known
    for (const auto& name : ListDir(state)) firstLineFile |= std::regex_match(name, std::regex("[0-9]{8}\\.LOG"));
    EXPECT_TRUE(firstLineFile) << "the working directory is the state directory";

    // The desktop entry, with its own home, the extracted executable first on PATH.
    const auto entry = ReadSection(root + "usr/share/applications/rs232-server.desktop", "Desktop Entry");
    EXPECT_EQ(entry.at("Icon"), "rs232-server");
    const std::string home = dir / "home dir";  // a blank in it, as quoting must survive
    fs::create_directories(home);
    out = StartAndClose(1, ParseExec(entry.at("Exec")), home,
                        {{"HOME", home}, {"PATH", root + "usr/bin:" + getenv("PATH")}});
    EXPECT_NE(out.find("Application path is: " + root + "usr/bin/\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Base path is: " + home + "/rs232/\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(home + "/rs232/LOG"));
    EXPECT_EQ(ReadWholeFile(root + "etc/rs232-server.ini"), settingsBefore)
        << "the server never rewrites an existing settings file";

    // The manual pages format without warnings.
    for (const auto& name : ListDir(root + "usr/share/man/man1")) {
        int status = 0;
        const std::string page = root + "usr/share/man/man1/" + name;
        const std::string warnings = RunTool({"groff", "-man", "-Tutf8", "-ww", "-z", page}, &status);
        if (status == 127) GTEST_SKIP() << "groff is not installed";
        EXPECT_EQ(status, 0) << name;
        EXPECT_EQ(warnings, "") << name;
    }
}

TEST(Package, ReinstallKeepsTheSettingsFile) {
    CTempDir dir;
    const std::string prefix = dir / "prefix";
    RunTool({RS232_CMAKE, "--install", RS232_BUILD_DIR, "--prefix", prefix});
    const std::string settings = prefix + "/etc/rs232-server.ini";
    ASSERT_EQ(fs::read_symlink(prefix + "/bin/rs232-server.ini"), settings);
    const std::string unit = ReadWholeFile(prefix + "/lib/systemd/system/rs232-server@.service");
    EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/rs232-server %i "), std::string::npos)
        << unit;

    std::ofstream(settings, std::ios::app) << "[PORTS]\nCOM5=/dev/ttyUSB3\n";
    const std::string edited = ReadWholeFile(settings);
    RunTool({RS232_CMAKE, "--install", RS232_BUILD_DIR, "--prefix", prefix});
    EXPECT_EQ(ReadWholeFile(settings), edited);
    EXPECT_EQ(fs::read_symlink(prefix + "/bin/rs232-server.ini"), settings);

    // Settings kept beside the executable by an older install stay where they are.
    fs::remove(prefix + "/bin/rs232-server.ini");
    std::ofstream(prefix + "/bin/rs232-server.ini") << "[COMPORT]\nBAUDRATE=9600\n";
    RunTool({RS232_CMAKE, "--install", RS232_BUILD_DIR, "--prefix", prefix});
    EXPECT_FALSE(fs::is_symlink(prefix + "/bin/rs232-server.ini"));
    EXPECT_EQ(ReadWholeFile(prefix + "/bin/rs232-server.ini"), "[COMPORT]\nBAUDRATE=9600\n");
}

}  // namespace
}  // namespace rs232::test
