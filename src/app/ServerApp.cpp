#include "app/ServerApp.h"

#include "app/CommandLine.h"
#include "platform/TextFormat.h"

namespace rs232 {

std::string InstanceMarkerName(int port) { return FormatText("Zelvo Quillet RS232 %d", port); }

int CServerApp::InitInstance(const std::string& commandLine) {
    if (auto refusal = CheckCommandLine(commandLine)) {
        m_shell.MessageBox(*refusal);
        return 1;
    }
    const int port = ReadPortField(commandLine);
    if (!ClaimInstanceMarker(port)) {
        m_shell.MessageBox(FormatText("Program already running on port %d !", port));
        return 1;
    }
    return m_shell.RunMainWindow(commandLine);
}

}  // namespace rs232
