// rs232-server <port 1..99> [<base path>]
// A window when DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set and the window module is
// installed, otherwise headless. Nothing here links Qt.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CommandLine.h"
#include "app/ConsoleView.h"
#include "app/ServerApp.h"
#include "app/SignalWatcher.h"
#include "app/WindowModule.h"
#include "platform/FileLimits.h"
#include "platform/Paths.h"
#include "platform/Module.h"

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// The window's entry, or null (with a line on stderr) when the module cannot be loaded.
RunWindowFn LoadWindow() {
    std::string error;
    const std::string path = rs232::DirectoryOf(rs232::ExecutablePath()) + rs232::kWindowModuleFile;
    void* entry = rs232::LoadModuleSymbol(path, rs232::kWindowEntry, error);
    if (!entry) std::fprintf(stderr, "No window (%s): running headless\n", error.c_str());
    return reinterpret_cast<RunWindowFn>(entry);
}

}  // namespace

int main(int argc, char** argv) {
    // Taken before Qt removes the options it knows from argv.
    const std::string commandLine = rs232::JoinArguments(argc, argv);
    // A file size limit (a unit's LimitFSIZE=) makes writes fail, never ends the server.
    rs232::IgnoreFileSizeSignal();

    if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) {
        if (const RunWindowFn runWindow = LoadWindow()) {
            rs232::CSignalWatcher signalWatcher;  // before Qt starts any thread
            return runWindow(argc, argv, commandLine.c_str(), &signalWatcher);
        }
    }

    rs232::CConsoleShell shell;
    rs232::CServerApp server(shell);
    return server.InitInstance(commandLine);
}
