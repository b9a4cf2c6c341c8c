// The window on Windows: a native Win32 window (no Qt) with the design's title, the list box of
// event lines (long lines cut, no horizontal scroll bar), minimise but no maximise or resize, a
// status line with the request in progress, the 50 ms timer, Enter and Escape as the close
// commands the logic ignores while held, message boxes with OK. Ctrl+C in its console closes it
// as the close button does.
#pragma once

#include <string>

#include "app/ServerApp.h"

namespace rs232 {

class CWin32Shell : public IAppShell {
public:
    void MessageBox(const std::string& text) override;
    int RunMainWindow(const std::string& commandLine) override;
};

}  // namespace rs232
