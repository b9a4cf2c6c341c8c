// A pseudo-terminal pair for tests: the code under test opens the slave path as its serial
// device, the test plays the peer on the master side.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/Block.h"

namespace rs232::test {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

std::string Text(const Bytes& bytes);  // the bytes as they are, in a string

struct SReadBlock {
    std::string type;
    long cnt = 0;
    int len = 0;
    Bytes data;
    Bytes raw;      // the whole block as it came off the line
    bool valid = false;  // ETX and CRC correct
};

class CPty {
public:
    CPty();  // raw slave side kept open so the master never sees a hang-up
    // An existing terminal device (such as one end of the null-modem), opened raw in the
    // master's place; SlavePath() is then empty.
    explicit CPty(const std::string& devicePath);
    ~CPty();
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int Master() const { return m_master; }

    void Send(const Bytes& bytes);
    void Send(uint8_t byte) { Send(Bytes{byte}); }
    // ENQ, answered with SYN within the time-out.
    bool Connect(std::chrono::milliseconds timeout = 10s) { return Send(ENQ), Read(1, timeout) == Bytes{SYN}; }

    // Reads until n bytes have arrived or the time-out passes; returns what arrived.
    Bytes Read(size_t n, std::chrono::milliseconds timeout = 10s);
    // Reads whatever arrives until the line has been quiet for `quiet`.
    Bytes ReadUntilQuiet(std::chrono::milliseconds quiet = 200ms);
    // Reads one block whose STX comes within the time-out (the rest gets 10 s); false on
    // time-out or a malformed frame.
    bool ReadBlock(SReadBlock& block, std::chrono::milliseconds timeout = 10s);

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// A request block as a client frames it.
Bytes MakeBlock(const char* type, long cnt, const std::string& data);
Bytes MakeBlock(const char* type, long cnt, const Bytes& data);

}  // namespace rs232::test
