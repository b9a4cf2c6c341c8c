// The Debian packages as an administrator receives them (built and checked by lintian in the
// package_build step): their dependencies and contents, the headless server extracted from its
// package and started the way its unit and the desktop entry start it, and the unit's
// confinement as systemd rates it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/Process.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

const std::string kPackages = RS232_PACKAGE_DIR "/";

std::string Deb(const std::string& package) {
    for (const auto& name : ListDir(kPackages))
        if (name.starts_with(package + "_") && name.ends_with(".deb")) return kPackages + name;
    ADD_FAILURE() << "no package " << package << " in " << kPackages;
    return {};
}

// Runs a tool to its end and returns stdout and stderr; a failure is the test's.
std::string RunTool(const std::vector<std::string>& argv) {
    const SRunResult r = RunProgram(argv, 90s);
    EXPECT_EQ(r.code, 0) << argv[0] << " " << argv[1] << "\n" << r.out << r.err;
    return r.out + r.err;
}

// "Key=value" lines of one section of an INI-style file, repeated keys kept in order.
std::multimap<std::string, std::string> ReadSection(const std::string& path, const std::string& name) {
    std::multimap<std::string, std::string> keys;
    std::ifstream in(path);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with('[')) inside = line == "[" + name + "]";
        else if (inside && line.find('=') != std::string::npos && !line.starts_with('#'))
            keys.emplace(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
    }
    return keys;
}

// A desktop entry's Exec value with its string escapes undone; its quoting rules are the shell's
// double quotes, so /bin/sh -c runs it as a launcher would.
std::string Unescaped(const std::string& value) {
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) text += value[i] == '\\' && i + 1 < value.size() ? (value[++i] == 's' ? ' ' : value[i]) : value[i];
    return text;
}

// Both packages extracted into dir/root/, the settings link pointed at the extracted settings
// (as it points into / on an installed system) and port n of the map mapped to devices[n].
std::string Extract(const CTempDir& dir, const std::map<int, std::string>& devices) {
    const std::string root = dir / "root/";
    for (const char* package : {"rs232-server", "rs232-server-window"}) RunTool({"dpkg-deb", "-x", Deb(package), root});
    std::string map = "[PORTS]\n";
    for (const auto& [port, device] : devices) map += "COM" + std::to_string(port) + "=" + device + "\n";
    std::string settings = ReadWholeFile(root + "etc/rs232-server.ini");
    settings.replace(settings.find("[PORTS]\n"), 8, map);
    std::ofstream(root + "etc/rs232-server.ini") << settings;
    const std::string link = fs::canonical(root + "usr/bin/rs232-server").parent_path() / "rs232-server.ini";
    fs::remove(link);
    fs::create_symlink(root + "etc/rs232-server.ini", link);
    return root;
}

// The headless package needs no Qt; the window's brings it, with the same version of the server.
TEST(Package, QtOnlyInTheWindowsPackage) {
    for (const auto& [package, depends, qt] :
         {std::tuple("rs232-server", "libc6.*libsimpleini1.*libssl3", false),
          std::tuple("rs232-server-window", "rs232-server \\(= [^)]+\\), libqt6svg6, .*libqt6widgets6", true)}) {
        const std::string info = RunTool({"dpkg-deb", "-f", Deb(package), "Depends"});
        EXPECT_TRUE(std::regex_search(info, std::regex(depends))) << info;
        EXPECT_EQ(std::regex_search(info, std::regex("qt", std::regex::icase)), qt) << info;
    }
}

// The unit's start, with its absolute paths taken inside the extracted tree: confined to the
// state directory, waiting quietly for a device that is not there yet, and serving it once it
// appears. The desktop entry's start: unconfined, serving its own home directory.
TEST(Package, ServerStartedAsItsUnitAndAsItsDesktopEntry) {
    CTempDir dir;
    CPty pty;
    CPortLease lease({0, 1});  // the unit's instance, and the desktop entry's port
    const std::string device = dir / "ttyUSB-later";
    const std::string root = Extract(dir, {{lease.Port(), device}, {1, pty.SlavePath()}});
    for (const char* tool : {"rs232-client", "rs232-nullmodem", "rs232-status"}) EXPECT_EQ(RunProgram({root + "usr/bin/" + tool, "--help"}).code, 0) << tool;
    EXPECT_TRUE(fs::exists(fs::canonical(root + "usr/bin/rs232-server").parent_path() / "rs232-server-window.so"));
    const auto unit = ReadSection(root + "lib/systemd/system/rs232-server@.service", "Service");
    const auto inRoot = [&](const std::string& word) { return word[0] == '/' ? root + word.substr(1) : word; };
    std::vector<std::string> argv;
    std::istringstream exec(unit.find("ExecStart")->second);  // no quotes in it
    for (std::string word; exec >> word;) argv.push_back(word == "%i" ? std::to_string(lease.Port()) : inRoot(word));
    std::map<std::string, std::string> env;
    for (auto [it, end] = unit.equal_range("Environment"); it != end; ++it) {
        const size_t eq = it->second.find('=');
        env[it->second.substr(0, eq)] = inRoot(it->second.substr(eq + 1));
    }
    const std::string state = inRoot(unit.find("WorkingDirectory")->second);
    fs::create_directories(state);  // systemd makes the state and runtime directories first
    const std::string run = env["RS232_STATUS_DIR"];
    fs::create_directories(run);

    CChild server(argv, state, env);
    const std::string waiting = "Serial port " + device + " not there, waiting for it\n";
    ASSERT_TRUE(server.WaitFor(waiting)) << server.Out() << server.Err();
    EXPECT_NE(server.Out().find("Access root is: " + state + "\n"), std::string::npos) << server.Out();
    CPty later;
    fs::create_symlink(later.SlavePath(), device);
    ASSERT_TRUE(server.WaitFor("Rs232 Server started ...\n")) << server.Out();
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    const std::string out = server.Out();
    EXPECT_EQ(out.find(waiting), out.rfind(waiting)) << "one line while it waits\n" << out;
    EXPECT_NE(out.find("Base path is: " + state + "/\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(state + "/LOG") && fs::is_directory(state + "/BAK"));
    const SRunResult status = RunProgram({root + "usr/bin/rs232-status", run});
    EXPECT_EQ(status.code, 0) << status.out << status.err;
    EXPECT_NE(status.out.find(device + " stopped"), std::string::npos) << status.out;

    const auto entry = ReadSection(root + "usr/share/applications/rs232-server.desktop", "Desktop Entry");
    EXPECT_EQ(entry.find("Icon")->second, "rs232-server");
    const std::string home = dir / "home dir";  // a blank in it, as quoting must survive
    fs::create_directories(home);
    CChild desktop({"/bin/sh", "-c", "exec " + Unescaped(entry.find("Exec")->second)}, home,
                  {{"HOME", home}, {"PATH", root + "usr/bin:" + getenv("PATH")}});
    ASSERT_TRUE(desktop.WaitFor("Rs232 Server started ...\n")) << desktop.Out() << desktop.Err();
    EXPECT_EQ(desktop.Stop(SIGTERM), 0);
    EXPECT_NE(desktop.Out().find("Base path is: " + home + "/rs232/\n"), std::string::npos) << desktop.Out();
    EXPECT_EQ(desktop.Out().find("Access root is:"), std::string::npos) << desktop.Out();
}

TEST(Package, UnitIsValidAndConfined) {
    if (RunProgram({"systemd-analyze", "--version"}).code != 0) GTEST_SKIP() << "no systemd-analyze";
    CTempDir dir;
    const std::string root = Extract(dir, {});
    // The unit as installed, but for its executable, which lies in the extracted tree here.
    std::string unit = ReadWholeFile(root + "lib/systemd/system/rs232-server@.service");
    unit = std::regex_replace(unit, std::regex("ExecStart=/"), "ExecStart=" + root);
    std::ofstream(dir / "rs232-server@.service") << unit;
    RunTool({"systemd-analyze", "verify", "--man=no", dir / "rs232-server@.service"});
    const std::string security = RunTool({"systemd-analyze", "security", "--offline=yes", dir / "rs232-server@.service"});
    std::smatch score;
    ASSERT_TRUE(std::regex_search(security, score, std::regex("Overall exposure level for \\S+: ([0-9.]+)")))
        << security;
    std::printf("systemd-analyze security: exposure %s\n", score[1].str().c_str());
    EXPECT_LE(std::stod(score[1]), 2.5) << security;
}

}  // namespace
}  // namespace rs232::test
