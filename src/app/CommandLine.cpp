#include "app/CommandLine.h"

#include <cctype>
#include <cstdlib>

#include "platform/Paths.h"
#include "platform/PortNumber.h"
#include "platform/TextFormat.h"

namespace rs232 {

std::string JoinArguments(int argc, const char* const* argv) {
    std::string out;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) out += ' ';
        out += argv[i];
    }
    return out;
}

int ReadPortField(const std::string& commandLine) {
    std::string field = commandLine.substr(0, 1);
    if (commandLine.size() > 1 && commandLine[1] != ' ') field += commandLine[1];
    const int port = std::atoi(field.c_str());
    if (port >= 10 && commandLine.size() > 2 && std::isdigit(static_cast<unsigned char>(commandLine[2])))
        return port * 10 + (commandLine[2] - '0');
    return port;
}

std::optional<std::string> CheckCommandLine(const std::string& commandLine) {
    if (commandLine.empty()) return "Please specify com port in command line !";
    const int port = ReadPortField(commandLine);
    if (!IsPortNumber(port)) return "Only com port form 1 to 99 allowed !";
    // The position that must hold the blank follows from the value read, not from how many
    // characters the port field took: "03" is refused here.
    const size_t separator = port < 10 ? 1 : 2;
    if (commandLine.size() > separator && commandLine[separator] != ' ')
        return "Seperate cmd line parameters with blanks !";
    return std::nullopt;
}

std::string BasePathFrom(const std::string& commandLine, int port,
                         const std::string& applicationPath) {
    const size_t skip = port >= 10 ? 3 : 2;
    if (commandLine.size() <= skip) return applicationPath;
    std::string base = commandLine.substr(skip);
    size_t first = 0;
    while (first < base.size() && (base[first] == ' ' || (base[first] >= '\t' && base[first] <= '\r')))
        ++first;
    return base.substr(first);
}

std::string BasePathWarning(const std::string& base) {
    const char s = kDirSeparator;
    return FormatText("Base path %s does not end in %c: names are appended as they are, so the "
                      "log goes to %sLOG%c, backups to %sBAK%c and relative request paths to "
                      "%s<name>", base.c_str(), s, base.c_str(), s, base.c_str(), s, base.c_str());
}

}  // namespace rs232
