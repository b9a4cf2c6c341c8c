// The ordered list of event lines that a view shows: exactly the operations the routes need.
#pragma once

#include <string>

#include "log/EventLevel.h"

namespace rs232 {

class IEventList {
public:
    virtual ~IEventList() = default;
    virtual int GetCount() const = 0;
    virtual void DeleteFirst() = 0;
    // line: "HH:MM:SS text"; level: the event's, as it was made.
    virtual void Append(const std::string& line, EEventLevel level) = 0;
    // Selects the line at index GetCount()-1 and scrolls it into view.
    virtual void SelectLast() = 0;
};

}  // namespace rs232
