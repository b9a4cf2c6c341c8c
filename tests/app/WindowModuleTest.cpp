// The executable maps Qt only when it opens its window: headless, or with a display but no
// window module beside it, the process holds no Qt library; with both it loads the module.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "support/Process.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

TEST(WindowModule, QtIsMappedOnlyWithADisplayAndTheModule) {
    struct SCase {
        const char* name;
        bool display;     // QT_QPA_PLATFORM=offscreen
        bool module;      // the window module beside the executable
        bool qtMapped;
        const char* err;  // on stderr
    };
    const SCase cases[] = {
        {"headless", false, true, false, ""},
        {"display, no module", true, false, false, "running headless"},
        {"window", true, true, true, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        CPty pty;
        CPortLease lease;
        const std::string n = std::to_string(lease.Port());
        const std::string exe = InstallServer(dir, "[PORTS]\nCOM" + n + "=" + pty.SlavePath() + "\n");
        if (c.module)
            std::filesystem::copy_file(std::filesystem::path(RS232_SERVER_EXE).parent_path() / "rs232-server-window.so",
                                       dir / "rs232-server-window.so");
        std::map<std::string, std::string> env;
        if (c.display) env["QT_QPA_PLATFORM"] = "offscreen";
        CChild server({exe, n}, dir.Path(), env);
        // The window's list is not on stdout: the log file shows the start.
        const std::string log = dir / "LOG/";
        bool started = false;
        for (int i = 0; i < 600 && !started; ++i) {
            started = Contains(LogLines(log, lease.Port()), "Rs232 Server started ...");
            if (!started) std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(started) << server.Out() << server.Err();
        EXPECT_EQ(ReadWholeFile("/proc/" + std::to_string(server.Pid()) + "/maps").find("libQt") != std::string::npos,
                  c.qtMapped);
        EXPECT_NE(server.Err().find(c.err), std::string::npos) << server.Err();
        EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
    }
}

}  // namespace
}  // namespace rs232::test
