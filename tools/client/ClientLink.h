// The client's side of the link: the ENQ/SYN handshake, sending one block until the server
// acknowledges it, and receiving the server's reply blocks with ACK, NAK and repeat handling.
// Framing, CRC and the serial port come from the link library shared with the server.
//
// Errors are thrown as CClientError: kind NoAnswer when the line gave no usable answer within
// the protocol's limits, Failure when the server answered but the request did not succeed,
// Interrupted when the cancel flag was raised.
//
// Timing (all derived from the server's limits in SClientLimits and the line's baud rate):
// - Connect: up to enqTries ENQs, each waiting synWait for SYN.
// - SendBlock: at most 3 NAKs and 3 answer time-outs, so at most five sends, as the server does
//   for its own blocks. An answer is awaited for the block's transmit time plus the server's
//   rest-of-block wait plus a second: a server that misses bytes of our block NAKs it only after
//   that wait.
// - ReceiveBlock: a block must start within three of the server's answer waits (it repeats an
//   unanswered block after each), and a damaged block is NAKed at most 3 times: the third NAK
//   makes the server give up, and so does the client.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/Crc32.h"
#include "link/SerialPort.h"
#include "wire/Wire.h"

namespace rs232::client {

using Bytes = std::vector<uint8_t>;
using Ms = std::chrono::milliseconds;

class CClientError : public std::runtime_error {
public:
    enum class Kind { Failure = 1, NoAnswer = 2, Interrupted = 130 };
    CClientError(Kind kind, const std::string& what) : std::runtime_error(what), m_kind(kind) {}
    Kind GetKind() const { return m_kind; }

private:
    Kind m_kind;
};

struct SClientLimits {
    Ms synWait{1000};
    int enqTries = 3;
    Ms serverRestWait = wire::kRestWait;      // how long the server waits for the rest of a block
    Ms serverAnswerWait = wire::kAnswerWait;  // how long the server waits for our ACK before repeating
    Ms slack{1000};             // added to every wait for scheduling and line delays
    Ms quiet{100};              // line silence that ends a damaged block before our NAK
    int maxNaks = 3;
    int maxTimeouts = 3;
};

struct SBlock {
    std::string type;
    long cnt = 0;
    Bytes data;
    std::string Text() const { return std::string(data.begin(), data.end()); }
};

class CClientLink {
public:
    using Clock = std::chrono::steady_clock;

    // The port must be open. baud only scales the waits to the line's speed.
    CClientLink(CSerialPort& port, int baud, SClientLimits limits = {});
    virtual ~CClientLink() = default;

    void Connect();
    // Sends one block and returns once it is acknowledged. With replyFollows an STX in place of
    // the ACK is taken as the ACK (ours was garbled) and kept for the next ReceiveBlock.
    void SendBlock(const char* type, long cnt, const void* data, int len,
                   bool replyFollows = false);
    void SendBlock(const char* type, long cnt, const std::string& data, bool replyFollows = false) {
        SendBlock(type, cnt, data.data(), static_cast<int>(data.size()), replyFollows);
    }
    // Receives the next valid block of the given type and ACKs it. A valid block whose CNT equals
    // repeatOf (the server missed our ACK) is ACKed again and skipped. A valid block of another
    // type is answered with EOT and reported as a failure.
    SBlock ReceiveBlock(const char* type, std::optional<long> repeatOf);
    // Ends the server's sending at once.
    void SendEot();
    // After a failed exchange: discards what the server still sends until the line has been
    // quiet for synWait, so that a fresh Connect finds it idle. Bounded by a full block wait.
    void Settle();

    // Every byte and block sent ("> ...") and received ("< ..."), one line each, for -v.
    using TraceFn = std::function<void(const std::string&)>;
    void SetTrace(TraceFn trace) { m_trace = std::move(trace); }

    const SClientLimits& Limits() const { return m_limits; }
    // When *cancel becomes true, the next wait for input answers EOT (ending any transfer the
    // server is making) and throws Interrupted. Checked every kCancelCheck.
    void SetCancelFlag(const std::atomic<bool>* cancel) { m_cancel = cancel; }
    static constexpr Ms kCancelCheck{100};

private:
    int ReadByte(Clock::time_point deadline);  // -1 at the deadline
    bool ReadExact(uint8_t* out, int n, Clock::time_point deadline);
    void WriteByte(uint8_t b);
    void Purge();
    void DrainUntilQuiet();
    Ms TransmitTime(int bytes) const;
    Ms BlockWait() const;
    void Trace(const char* direction, const std::string& what) const;
    void TraceBlock(const char* direction, const std::string& type, long cnt, const uint8_t* data,
                    int len) const;

    CSerialPort& m_port;
    int m_baud;
    SClientLimits m_limits;
    CCrc32 m_crc;
    Bytes m_in;  // read from the port, not yet consumed
    size_t m_inPos = 0;
    bool m_pendingStx = false;
    const std::atomic<bool>* m_cancel = nullptr;
    TraceFn m_trace;
};

}  // namespace rs232::client
