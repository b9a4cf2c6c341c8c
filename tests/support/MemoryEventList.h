// The smallest real event list: lines kept in memory, for tests that read the server's log route.
#pragma once

#include <string>
#include <vector>

#include "log/EventList.h"

namespace rs232::test {

class CMemoryEventList : public IEventList {
public:
    int GetCount() const override { return static_cast<int>(lines.size()); }
    void DeleteFirst() override {
        if (!lines.empty()) lines.erase(lines.begin());
    }
    void Append(const std::string& line, EEventLevel) override { lines.push_back(line); }
    void SelectLast() override { selected = GetCount() - 1; }

    // Lines without their "HH:MM:SS " stamp.
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(l.size() >= 9 ? l.substr(9) : l);
        return out;
    }

    std::vector<std::string> lines;
    int selected = -1;
};

}  // namespace rs232::test
