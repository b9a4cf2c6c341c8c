// A virtual null-modem cable: two pseudo-terminals whose master sides are cross-connected, each
// direction paced at a baud rate and optionally disturbed by seeded, reproducible line faults.
//
// Contract:
// - Create() opens both pseudo-terminals, sets their slave sides raw, keeps them open (so a peer
//   that closes and reopens its end never sees a hang-up on the other) and points the two
//   symlinks at them. Existing symlinks are replaced; any other existing file is refused.
//   Returns false with a message in Error() on failure.
// - A peer's close of an end clears the terminal's exclusive-open flag, so a peer that died
//   holding it does not lock the next opener out.
// - Run() polls until Stop() is called or a signal fd given to Run() becomes readable; one
//   thread, no busy waiting but the last kWakeAhead before a write's last byte is due.
// - Pacing: a byte occupies the line for 10 bit times (start, 8 data, stop). Delivery follows a
//   deadline schedule: byte k leaves at max(line free, arrival) + 10/baud, so the long-run rate
//   is exact however late poll() wakes. Bytes due go out together, as a UART hands over its
//   receive FIFO: the cable wakes at most every kGroupBytes byte times, and when the last byte
//   queued is due, so that a lone byte (an ACK) or the end of a block is never held back; that
//   wake comes kWakeAhead early and the cable waits out the rest awake, so it is on time. Baud
//   0 passes bytes on as soon as they arrive.
// - Faults, per byte in stream order and drawn from a generator seeded by (seed, direction):
//   drop with probability `drop`; a noise burst starts with probability `burst` and replaces
//   the next 1 to 16 bytes by random bytes; every bit of every byte not dropped flips with
//   probability `ber`. The same seed, settings and input give the same output.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>

namespace rs232::tools {

struct SFaults {
    double ber = 0;    // bit error probability
    double drop = 0;   // byte drop probability
    double burst = 0;  // probability per byte that a noise burst starts
};

struct SDirectionCounts {
    uint64_t bytesIn = 0;    // read from the sending end
    uint64_t bytesOut = 0;   // delivered to the receiving end
    uint64_t bitsFlipped = 0;
    uint64_t bytesDropped = 0;
    uint64_t bursts = 0;
};

class CNullModem {
public:
    using Clock = std::chrono::steady_clock;

    CNullModem(std::string linkA, std::string linkB, long baud, uint64_t seed, SFaults faultsAB,
               SFaults faultsBA);
    ~CNullModem();
    CNullModem(const CNullModem&) = delete;
    CNullModem& operator=(const CNullModem&) = delete;

    bool Create();
    // Runs until stopFd (may be -1) becomes readable. Returns false on an I/O failure.
    bool Run(int stopFd);
    // Removes the symlinks if they still point at our terminals.
    void RemoveLinks();

    const std::string& Error() const { return m_error; }
    const SDirectionCounts& CountsAB() const { return m_dir[0].counts; }
    const SDirectionCounts& CountsBA() const { return m_dir[1].counts; }

private:
    struct SEnd {
        int master = -1;
        int slave = -1;
        std::string slavePath;
        std::string link;
        int watch = -1;
    };
    struct SDirection {
        int from = 0;  // index into m_end
        int to = 1;
        SFaults faults;
        std::mt19937_64 rng;
        int burstLeft = 0;
        std::deque<uint8_t> queue;   // read, faults applied, not yet delivered
        Clock::time_point lineFree;  // when the line finishes the last byte sent
        bool blocked = false;        // receiving end's buffer full, waiting for POLLOUT
        SDirectionCounts counts;
    };

    bool OpenEnd(SEnd& end);
    bool ReadInto(SDirection& d);
    bool Deliver(SDirection& d, Clock::time_point now);
    void ApplyFaults(SDirection& d, const uint8_t* in, size_t n);
    Clock::duration ByteTime() const;
    // When the next bytes of d are to be delivered (it has bytes queued and is not blocked).
    Clock::time_point NextDelivery(const SDirection& d, Clock::time_point now) const;
    void ClearExclusive();

    static constexpr int kGroupBytes = 16;
    static constexpr std::chrono::microseconds kWakeAhead{40};

    SEnd m_end[2];
    SDirection m_dir[2];
    int m_closeWatch = -1;  // inotify: closes of the slave devices by peers
    long m_baud;
    std::string m_error;
};

}  // namespace rs232::tools
