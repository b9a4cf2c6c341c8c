// The Debian package as an administrator receives it: its contents and metadata, and the
// extracted executable started the way the package's systemd unit and desktop entry start it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A child process with stdout and stderr in one pipe.
class CChild {
public:
    CChild(const std::vector<std::string>& argv, const std::string& cwd = "",
           const std::vector<std::string>& unset = {},
           const std::map<std::string, std::string>& set = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
            for (const auto& name : unset) unsetenv(name.c_str());
            for (const auto& [name, value] : set) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        m_fd = fds[0];
    }
    ~CChild() {
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0) close(m_fd);
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // True once the output holds text; false at its end or after the time-out.
    bool WaitFor(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        const auto end = Clock::now() + timeout;
        while (m_out.find(text) == std::string::npos) {
            if (Clock::now() >= end || !Pump(end)) return m_out.find(text) != std::string::npos;
        }
        return true;
    }
    // Exit status after reading all output; -1 when it has not ended within the time-out.
    int Finish(std::chrono::seconds timeout = std::chrono::seconds(30)) {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end && Pump(end)) {
        }
        if (m_status < 0 && m_pid > 0) {
            // The pipe closed (or time ran out): the process is ending or stuck.
            while (Clock::now() < end) {
                int status = 0;
                if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                    m_status = status;
                    break;
                }
                poll(nullptr, 0, 20);
            }
        }
        if (m_status < 0) return -1;
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    }
    void Signal(int signal) { kill(m_pid, signal); }
    const std::string& Output() const { return m_out; }

private:
    bool Pump(Clock::time_point end) {
        if (m_fd < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long>(0, left.count()))) <= 0) return true;
        char buffer[4096];
        const ssize_t n = read(m_fd, buffer, sizeof buffer);
        if (n <= 0) {
            close(m_fd);
            m_fd = -1;
            return false;
        }
        m_out.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    int m_status = -1;
    std::string m_out;
};

std::string RunTool(const std::vector<std::string>& argv, int* status = nullptr,
                const std::string& cwd = "") {
    CChild child(argv, cwd);
    const int exitStatus = child.Finish(std::chrono::seconds(90));
    if (status) *status = exitStatus;
    else EXPECT_EQ(exitStatus, 0) << argv[0] << " " << argv[1] << "\n" << child.Output();
    return child.Output();
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
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            inside = line == "[" + name + "]";
            continue;
        }
        const size_t eq = line.find('=');
        if (inside && eq != std::string::npos) keys.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return keys;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// A desktop entry's Exec value as an argument vector: string escapes first, then the
// double-quote rule (inside quotes a backslash takes the next character literally).
std::vector<std::string> ParseExec(const std::string& value) {
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char c = value[++i];
            text += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            text += value[i];
        }
    }
    std::vector<std::string> args;
    std::string arg;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\' && i + 1 < text.size()) {
            arg += text[++i];
        } else if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) args.push_back(arg);
            arg.clear();
            any = false;
        } else {
            arg += c;
            any = true;
        }
    }
    EXPECT_FALSE(quoted) << value;
    if (any) args.push_back(arg);
    return args;
}

// The extracted tree made usable in place: the settings symlink points into it, as it would
// point into / on an installed system, and the shipped settings map the test's ports to pty.
void MapSettings(const std::string& root, const std::string& pty) {
    const std::string link = root + "usr/bin/rs232-server.ini";
    ASSERT_TRUE(fs::is_symlink(link));
    ASSERT_EQ(fs::read_symlink(link), "/etc/rs232-server.ini");
    const std::string settings = root + "etc/rs232-server.ini";
    const std::string shipped = ReadWholeFile(settings);
    const size_t ports = shipped.find("[PORTS]\n");
    ASSERT_NE(ports, std::string::npos) << "the shipped settings show the port map";
    std::string mapped = shipped;
    mapped.insert(ports + 8, "COM1=" + pty + "\nCOM8=" + pty + "\n");
    std::ofstream(settings, std::ios::binary) << mapped;
    fs::remove(link);
    fs::create_symlink(settings, link);
}

const std::vector<std::string> kDisplayVariables = {"DISPLAY", "WAYLAND_DISPLAY",
                                                    "QT_QPA_PLATFORM"};

// Starts the command until the port is not held by another test's server (ports are
// machine-wide), then waits for the server to run and closes it with signal; returns the output.
std::string StartAndClose(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::map<std::string, std::string>& env, int signal) {
    const auto end = Clock::now() + std::chrono::seconds(40);
    for (;;) {
        CChild server(argv, cwd, kDisplayVariables, env);
        if (server.WaitFor("Rs232 Server started ...")) {
            server.Signal(signal);
            EXPECT_EQ(server.Finish(), 0) << server.Output();
            EXPECT_NE(server.Output().find("Program closed !"), std::string::npos);
            return server.Output();
        }
        const int status = server.Finish();
        if (server.Output().find("already running") == std::string::npos || Clock::now() > end) {
            ADD_FAILURE() << "exit " << status << "\n" << server.Output();
            return server.Output();
        }
        poll(nullptr, 0, 200);  // another test holds the port: try again when it is free
    }
}

TEST(Package, HoldsTheInstallWithItsMetadataAndScripts) {
    CTempDir dir;
    const std::string deb = BuildPackage(dir);
    ASSERT_FALSE(deb.empty());

    std::map<std::string, std::string> listed;  // path -> type and mode, or link target
    for (std::istringstream in(RunTool({"dpkg-deb", "-c", deb})); !in.eof();) {
        std::string line;
        std::getline(in, line);
        const auto w = Words(line);
        if (w.size() < 6) continue;
        EXPECT_EQ(w[1], "root/root") << line;
        listed[w[5]] = w.size() >= 8 && w[6] == "->" ? "-> " + w[7] : w[0];
    }
    std::map<std::string, std::string> expected = {
        {"./usr/bin/rs232-server", "-rwxr-xr-x"},
        {"./usr/bin/rs232-server.ini", "-> /etc/rs232-server.ini"},
        {"./etc/rs232-server.ini", "-rw-r--r--"},
        {"./usr/lib/systemd/system/rs232-server@.service", "-rw-r--r--"},
        {"./usr/share/applications/rs232-server.desktop", "-rw-r--r--"},
        {"./usr/share/icons/hicolor/scalable/apps/rs232-server.svg", "-rw-r--r--"},
        {"./usr/share/man/man1/rs232-server.1", "-rw-r--r--"},
    };
#ifdef RS232_HAS_RS232_CLIENT
    expected["./usr/bin/rs232-client"] = "-rwxr-xr-x";
    expected["./usr/share/man/man1/rs232-client.1"] = "-rw-r--r--";
#endif
#ifdef RS232_HAS_RS232_NULLMODEM
    expected["./usr/bin/rs232-nullmodem"] = "-rwxr-xr-x";
    expected["./usr/share/man/man1/rs232-nullmodem.1"] = "-rw-r--r--";
#endif
    for (const auto& [path, kind] : listed) {
        if (kind[0] == 'd') continue;
        auto it = expected.find(path);
        if (it == expected.end()) {
            ADD_FAILURE() << "unexpected file in the package: " << path;
            continue;
        }
        EXPECT_EQ(kind, it->second) << path;
        expected.erase(it);
    }
    for (const auto& [path, kind] : expected) ADD_FAILURE() << "missing from the package: " << path;

    const std::string info = RunTool({"dpkg-deb", "-I", deb});
    const std::string arch = RunTool({"dpkg", "--print-architecture"});
    EXPECT_NE(info.find(" Package: rs232-server\n"), std::string::npos) << info;
    EXPECT_NE(info.find(" Version: 1.0.0.0\n"), std::string::npos) << info;
    EXPECT_NE(info.find(" Architecture: " + arch), std::string::npos) << info;
    EXPECT_NE(info.find(" Maintainer: rs232-server maintainers <"), std::string::npos) << info;
    // Found by shlibdeps from what the executables link.
    EXPECT_TRUE(std::regex_search(info, std::regex(" Depends: .*libc6 .*libqt6widgets6 .*"
                                                   "libsimpleini1")))
        << info;
    // README's first paragraph, wrapped, backquotes gone.
    EXPECT_NE(info.find("\n  rs232-server gives one client device on an RS232 serial line"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("goes to a daily log file.\n"), std::string::npos) << info;
    EXPECT_EQ(info.find('`'), std::string::npos) << info;

    // dpkg keeps an administrator's settings; the scripts are valid shell.
    RunTool({"dpkg-deb", "-e", deb, dir / "control"});
    EXPECT_EQ(ReadWholeFile(dir / "control/conffiles"), "/etc/rs232-server.ini\n");
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        ASSERT_TRUE(fs::exists(dir / ("control/" + std::string(script)))) << script;
        EXPECT_TRUE(access((dir / "control/" + script).c_str(), X_OK) == 0) << script;
        RunTool({"sh", "-n", dir / "control/" + script});
    }

    // The manual pages format without warnings.
    RunTool({"dpkg-deb", "-x", deb, dir / "root"});
    for (const auto& entry : fs::directory_iterator(dir / "root/usr/share/man/man1")) {
        int status = 0;
        const std::string out = RunTool({"groff", "-man", "-Tutf8", "-ww", "-z", entry.path()}, &status);
        if (status == 127) GTEST_SKIP() << "groff is not installed";
        EXPECT_EQ(status, 0) << entry.path();
        EXPECT_EQ(out, "") << entry.path();
    }
}

TEST(Package, ExtractedServerRunsAsItsUnitAndItsDesktopEntryStartIt) {
    CTempDir dir;
    const std::string deb = BuildPackage(dir);
    ASSERT_FALSE(deb.empty());
    const std::string root = dir / "root/";
    RunTool({"dpkg-deb", "-x", deb, root});
    CPty pty;
    MapSettings(root, pty.SlavePath());
    const std::string settingsBefore = ReadWholeFile(root + "etc/rs232-server.ini");

    // The unit for port 8: each absolute path in it is taken inside the extracted tree.
    const std::string unitPath = root + "usr/lib/systemd/system/rs232-server@.service";
    const auto unit = ReadSection(unitPath, "Service");
    ASSERT_TRUE(unit.count("ExecStart") && unit.count("WorkingDirectory") &&
                unit.count("StateDirectory"))
        << ReadWholeFile(unitPath);
    EXPECT_EQ(unit.at("StateDirectory"), "rs232-server");
    EXPECT_EQ(unit.at("WorkingDirectory"), "/var/lib/" + unit.at("StateDirectory"));
    EXPECT_EQ(unit.count("Environment"), 0u) << "nothing may name a display";
    for (const auto& name : kDisplayVariables)
        EXPECT_NE(unit.at("UnsetEnvironment").find(name), std::string::npos) << name;
    EXPECT_EQ(unit.at("Restart"), "on-failure");
    ASSERT_EQ(unit.at("KillSignal"), "SIGTERM");

    std::vector<std::string> argv;
    for (std::string word : Words(unit.at("ExecStart"))) {
        if (word == "%i") word = "8";
        argv.push_back(word[0] == '/' ? root + word.substr(1) : word);
    }
    ASSERT_EQ(argv.size(), 3u);
    EXPECT_EQ(argv[0], root + "usr/bin/rs232-server");
    const std::string state = root + unit.at("WorkingDirectory").substr(1);
    EXPECT_EQ(argv[2], state + "/") << "the base path is the state directory";
    fs::create_directories(state);  // systemd makes StateDirectory= before the start

    std::string out = StartAndClose(argv, state, {}, SIGTERM);
    EXPECT_NE(out.find("Base path is: " + state + "/\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Baudrate is: 57600\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(state + "/LOG") && fs::is_directory(state + "/BAK"));
    bool firstLineFile = false;  // the line written before the log directory is known
    for (const auto& entry : fs::directory_iterator(state))
        firstLineFile |= std::regex_match(entry.path().filename().string(),
                                          std::regex("[0-9]{8}\\.LOG"));
    EXPECT_TRUE(firstLineFile) << "the working directory is the state directory";

    // The desktop entry, with its own home, the extracted executable first on PATH.
    const auto entry = ReadSection(root + "usr/share/applications/rs232-server.desktop",
                                   "Desktop Entry");
    EXPECT_EQ(entry.at("Icon"), "rs232-server");
    const std::vector<std::string> exec = ParseExec(entry.at("Exec"));
    ASSERT_FALSE(exec.empty());
    const std::string home = dir / "home dir";  // a blank in it, as quoting must survive
    fs::create_directories(home);
    out = StartAndClose(exec, home,
                        {{"HOME", home}, {"PATH", root + "usr/bin:" + getenv("PATH")}}, SIGTERM);
    EXPECT_NE(out.find("Application path is: " + root + "usr/bin/\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Base path is: " + home + "/rs232/\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(home + "/rs232/LOG"));

    EXPECT_EQ(ReadWholeFile(root + "etc/rs232-server.ini"), settingsBefore)
        << "the server never rewrites an existing settings file";
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
