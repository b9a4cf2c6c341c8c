// The command line: "<port 1..99>[ <base path>]", as argv[1..] joined with single blanks.
#pragma once

#include <optional>
#include <string>

namespace rs232 {

// argv[1..] joined with single blanks.
std::string JoinArguments(int argc, const char* const* argv);

// The port field: the first character, and the second when there is one and it is not a blank,
// converted like atoi (0 when there is no digit). A third digit after two that read 10 or more
// makes a number above 99, which is refused like any other out of range.
int ReadPortField(const std::string& commandLine);

// The text of the refusal for this command line, or nothing when it may start. Checks the
// emptiness, then the range, then the blank after the port field; in that order.
std::optional<std::string> CheckCommandLine(const std::string& commandLine);

// The warning for a base path without a final separator: names are appended to it as they are,
// so they land beside the directory it names.
std::string BasePathWarning(const std::string& base);

// The base path named after the port field (leading white space removed), or applicationPath
// when the command line holds nothing after the port field.
std::string BasePathFrom(const std::string& commandLine, int port,
                         const std::string& applicationPath);

}  // namespace rs232
