// The window lives in a module of its own, rs232-server-window.so beside the executable, that
// the executable loads only when a display is there: a headless server never maps Qt.
#pragma once

namespace rs232 {
class CSignalWatcher;

inline constexpr const char* kWindowModuleFile = "rs232-server-window.so";
inline constexpr const char* kWindowEntry = "rs232_window_main";
}  // namespace rs232

// The module's one entry: the start-up checks (a refusal shows as a message box), then the
// window until it closes, on Qt's event loop. signalWatcher was made before the module loaded
// and before any thread; SIGINT and SIGTERM act as the close button. Returns the exit status.
extern "C" int rs232_window_main(int argc, char** argv, const char* commandLine,
                                 rs232::CSignalWatcher* signalWatcher);
using RunWindowFn = decltype(&rs232_window_main);
