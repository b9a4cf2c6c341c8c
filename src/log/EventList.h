// The ordered list of event lines that a view shows: exactly the operations the routes need.
#pragma once

#include <string>

namespace rs232 {

class IEventList {
public:
    virtual ~IEventList() = default;
    virtual int GetCount() const = 0;
    virtual void DeleteFirst() = 0;
    virtual void Append(const std::string& line) = 0;
    // Selects the line at index GetCount()-1 and scrolls it into view.
    virtual void SelectLast() = 0;
};

}  // namespace rs232
