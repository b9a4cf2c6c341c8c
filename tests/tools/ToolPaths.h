// Locations of the built programs and small helpers shared by the tool tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace rs232::test {

// A symlinked end of the null-modem, opened raw and non-blocking.
class CLineEnd {
public:
    explicit CLineEnd(const std::string& path);
    ~CLineEnd();
    CLineEnd(const CLineEnd&) = delete;
    CLineEnd& operator=(const CLineEnd&) = delete;

    void Write(const std::vector<uint8_t>& bytes);
    // Reads until n bytes arrived or the time-out passed.
    std::vector<uint8_t> Read(size_t n, std::chrono::milliseconds timeout);
    // Reads until the line has been quiet for `quiet` (or `limit` passed).
    std::vector<uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet,
                                        std::chrono::milliseconds limit);

private:
    int m_fd = -1;
};

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

}  // namespace rs232::test
