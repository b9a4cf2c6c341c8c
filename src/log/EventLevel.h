// How serious an event line is. It is set where the event is made (a request's outcome, the
// server's own lines, the window's start-up and closing lines) and travels with the line: the
// window marks errors and warnings, the journal gets the matching syslog priority.
#pragma once

namespace rs232 {

enum class EEventLevel { Info, Warning, Error };

}  // namespace rs232
