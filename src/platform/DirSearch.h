// Directory search in the order readdir() delivers, "." and ".." included, nothing filtered.
#pragma once

#include <cstdint>
#include <string>

namespace rs232 {

struct CFindData {
    std::string name;     // entry name without any directory part
    int32_t size = 0;     // as a signed 32-bit number (clamped)
    int32_t time = 0;     // last write, seconds since 1970 UTC (clamped)
    unsigned attrib = 0;  // kAttr* bits
};

class CDirSearch {
public:
    CDirSearch() = default;
    CDirSearch(const CDirSearch&) = delete;
    CDirSearch& operator=(const CDirSearch&) = delete;
    virtual ~CDirSearch();

    // Opens the directory (a trailing '/' is fine) and delivers its first entry.
    // False when the directory cannot be read or holds no entry.
    bool FindFirst(const std::string& directory, CFindData& entry);
    // The next entry; false at the end.
    bool FindNext(CFindData& entry);
    void Close();

private:
    void* m_dir = nullptr;  // DIR*
};

}  // namespace rs232
