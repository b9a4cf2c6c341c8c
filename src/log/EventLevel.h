// How serious an event line is, read from its text: the window marks errors and warnings, the
// journal gets the matching syslog level, and the request counts tell failures from successes.
#pragma once

#include <string>

namespace rs232 {

enum class EEventLevel { Info, Warning, Error };

// text: the event line without its time stamp.
EEventLevel EventLevel(const std::string& text);

// syslog priority of a level: 3 (error), 4 (warning) or 6 (informational).
int SyslogPriority(EEventLevel level);

// "HH:MM:SS text" -> "text"; a line without a stamp comes back whole.
std::string WithoutTimeStamp(const std::string& line);

}  // namespace rs232
