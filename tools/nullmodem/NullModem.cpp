#include "NullModem.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <limits.h>

namespace rs232::tools {

namespace {

// Bytes held per direction before we stop reading; the sender then waits in its own buffer.
constexpr size_t kQueueLimit = 4096;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

CNullModem::CNullModem(std::string linkA, std::string linkB, long baud, uint64_t seed,
                       SFaults faultsAB, SFaults faultsBA)
    : m_baud(baud) {
    m_end[0].link = std::move(linkA);
    m_end[1].link = std::move(linkB);
    m_dir[0].from = 0;
    m_dir[0].to = 1;
    m_dir[0].faults = faultsAB;
    m_dir[1].from = 1;
    m_dir[1].to = 0;
    m_dir[1].faults = faultsBA;
    // Separate streams per direction: what happens on one side never shifts the other's faults.
    std::seed_seq s0{seed, uint64_t{0xA0B}};
    std::seed_seq s1{seed, uint64_t{0xB0A}};
    m_dir[0].rng.seed(s0);
    m_dir[1].rng.seed(s1);
}

CNullModem::~CNullModem() {
    if (m_closeWatch >= 0) close(m_closeWatch);
    for (SEnd& e : m_end) {
        if (e.master >= 0) close(e.master);
        if (e.slave >= 0) close(e.slave);
    }
}

CNullModem::Clock::duration CNullModem::ByteTime() const {
    // 10 bits per byte; nanoseconds keep the schedule exact enough for any standard rate.
    return std::chrono::nanoseconds(10'000'000'000LL / m_baud);
}

CNullModem::Clock::time_point CNullModem::NextDelivery(const SDirection& d,
                                                      Clock::time_point now) const {
    if (m_baud == 0) return now;
    const auto first = d.lineFree + ByteTime();
    const auto last = d.lineFree + ByteTime() * static_cast<long>(d.queue.size());
    return std::max(first, std::min(last, now + ByteTime() * kGroupBytes));
}

bool CNullModem::OpenEnd(SEnd& end) {
    char name[PATH_MAX] = {};
    if (openpty(&end.master, &end.slave, name, nullptr, nullptr) != 0) {
        m_error = Errno("openpty");
        return false;
    }
    end.slavePath = name;
    termios tio{};
    tcgetattr(end.slave, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(end.slave, TCSANOW, &tio);
    fcntl(end.master, F_SETFL, fcntl(end.master, F_GETFL) | O_NONBLOCK);
    fcntl(end.master, F_SETFD, FD_CLOEXEC);
    fcntl(end.slave, F_SETFD, FD_CLOEXEC);

    struct stat st{};
    if (lstat(end.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        m_error = end.link + " exists and is not a symbolic link";
        return false;
    }
    // Create beside the target and rename over it, so the name never points nowhere.
    std::string tmp = end.link + ".nm" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(end.slavePath.c_str(), tmp.c_str()) != 0) {
        m_error = Errno("symlink " + tmp);
        return false;
    }
    if (rename(tmp.c_str(), end.link.c_str()) != 0) {
        m_error = Errno("rename " + tmp + " to " + end.link);
        unlink(tmp.c_str());
        return false;
    }
    if (m_closeWatch < 0) m_closeWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_closeWatch >= 0)
        end.watch = inotify_add_watch(m_closeWatch, end.slavePath.c_str(), IN_CLOSE);
    return true;
}

bool CNullModem::Create() {
    if (m_end[0].link == m_end[1].link) {
        m_error = "the two links must differ";
        return false;
    }
    if (!OpenEnd(m_end[0])) return false;
    if (!OpenEnd(m_end[1])) {
        RemoveLinks();
        return false;
    }
    return true;
}

void CNullModem::RemoveLinks() {
    for (SEnd& e : m_end) {
        if (e.slavePath.empty()) continue;
        char target[PATH_MAX] = {};
        ssize_t n = readlink(e.link.c_str(), target, sizeof target - 1);
        if (n > 0 && e.slavePath == std::string(target, static_cast<size_t>(n)))
            unlink(e.link.c_str());
    }
}

void CNullModem::ApplyFaults(SDirection& d, const uint8_t* in, size_t n) {
    const SFaults& f = d.faults;
    const bool any = f.ber > 0 || f.drop > 0 || f.burst > 0;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in[i];
        if (any) {
            if (f.drop > 0 && u(d.rng) < f.drop) {
                ++d.counts.bytesDropped;
                continue;
            }
            if (d.burstLeft == 0 && f.burst > 0 && u(d.rng) < f.burst) {
                d.burstLeft = 1 + static_cast<int>(d.rng() % 16);
                ++d.counts.bursts;
            }
            uint8_t out = b;
            if (d.burstLeft > 0) {
                --d.burstLeft;
                out = static_cast<uint8_t>(d.rng());
            }
            if (f.ber > 0)
                for (int bit = 0; bit < 8; ++bit)
                    if (u(d.rng) < f.ber) out ^= static_cast<uint8_t>(1u << bit);
            d.counts.bitsFlipped += static_cast<uint64_t>(std::popcount(static_cast<unsigned>(out ^ b)));
            b = out;
        }
        d.queue.push_back(b);
    }
}

bool CNullModem::ReadInto(SDirection& d) {
    uint8_t buf[1024];
    size_t room = kQueueLimit - std::min(kQueueLimit, d.queue.size());
    if (room == 0) return true;
    ssize_t n = read(m_end[d.from].master, buf, std::min(room, sizeof buf));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR || errno == EIO) return true;
        m_error = Errno("read");
        return false;
    }
    if (n == 0) return true;
    if (d.queue.empty()) d.lineFree = std::max(d.lineFree, Clock::now());
    d.counts.bytesIn += static_cast<uint64_t>(n);
    ApplyFaults(d, buf, static_cast<size_t>(n));
    return true;
}

bool CNullModem::Deliver(SDirection& d, Clock::time_point now) {
    if (d.queue.empty() || d.blocked) return true;
    size_t due = d.queue.size();
    if (m_baud > 0) {
        if (now < d.lineFree + ByteTime()) return true;
        due = std::min<size_t>(due, static_cast<size_t>((now - d.lineFree) / ByteTime()));
    }
    uint8_t buf[kQueueLimit];
    std::copy_n(d.queue.begin(), due, buf);
    ssize_t n = write(m_end[d.to].master, buf, due);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            d.blocked = true;
            return true;
        }
        m_error = Errno("write");
        return false;
    }
    d.queue.erase(d.queue.begin(), d.queue.begin() + n);
    d.counts.bytesOut += static_cast<uint64_t>(n);
    if (m_baud > 0) d.lineFree += ByteTime() * n;
    if (static_cast<size_t>(n) < due) d.blocked = true;
    return true;
}

void CNullModem::ClearExclusive() {
    // A peer that set exclusive mode and then died without clearing it would lock every later
    // opener but root out, since our own descriptor keeps the terminal alive. After any close
    // on an end we clear the flag; openers that need exclusion also lock the device.
    alignas(inotify_event) char buf[4096];
    while (read(m_closeWatch, buf, sizeof buf) > 0) {
    }
    for (SEnd& e : m_end)
        if (e.slave >= 0) ioctl(e.slave, TIOCNXCL);
}

bool CNullModem::Run(int stopFd) {
    // The default timer slack (50 us, more than four byte times at 921600 baud) would let
    // every timed wake, and with it every ACK and the end of every block, come that much late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        pollfd fds[4];
        int nfds = 0;
        // One pollfd per master, asking for input when its outgoing queue has room and for
        // output when its incoming direction is waiting for buffer space.
        for (int e = 0; e < 2; ++e) {
            SDirection& out = m_dir[e];       // bytes read from end e
            SDirection& in = m_dir[1 - e];    // bytes written to end e
            short ev = 0;
            if (out.queue.size() < kQueueLimit) ev |= POLLIN;
            if (in.blocked) ev |= POLLOUT;
            fds[nfds++] = pollfd{m_end[e].master, ev, 0};
        }
        const int stopIndex = nfds;
        if (stopFd >= 0) fds[nfds++] = pollfd{stopFd, POLLIN, 0};
        const int watchIndex = nfds;
        if (m_closeWatch >= 0) fds[nfds++] = pollfd{m_closeWatch, POLLIN, 0};

        // Wake exactly when the next bytes are due: a wake rounded up to whole milliseconds
        // would make every ACK up to a millisecond late. A timed wake still comes some tens of
        // microseconds late; for the last byte queued, which a peer is waiting for, the cable
        // wakes kWakeAhead early and waits out the rest awake.
        std::optional<Clock::time_point> due;
        bool last = false;
        const auto now = Clock::now();
        for (SDirection& d : m_dir) {
            if (d.queue.empty() || d.blocked) continue;
            const auto next = NextDelivery(d, now);
            if (due && next >= *due) continue;
            due = next;
            last = next == d.lineFree + ByteTime() * static_cast<long>(d.queue.size());
        }
        timespec ts{};
        if (due) {
            const auto wake = last ? *due - kWakeAhead : *due;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::max(Clock::duration::zero(), wake - now))
                                .count();
            ts = timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        int r = ppoll(fds, static_cast<nfds_t>(nfds), due ? &ts : nullptr, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            m_error = Errno("ppoll");
            return false;
        }
        if (r == 0 && last)
            while (Clock::now() < *due) {
            }
        if (stopFd >= 0 && (fds[stopIndex].revents & POLLIN)) return true;
        if (m_closeWatch >= 0 && (fds[watchIndex].revents & POLLIN)) ClearExclusive();
        for (int e = 0; e < 2; ++e) {
            if (fds[e].revents & POLLOUT) {
                SDirection& in = m_dir[1 - e];
                in.blocked = false;
                // Time spent waiting for the receiver is not owed to the schedule.
                if (m_baud > 0) in.lineFree = std::max(in.lineFree, Clock::now() - ByteTime());
            }
            if (fds[e].revents & POLLIN)
                if (!ReadInto(m_dir[e])) return false;
        }
        const auto after = Clock::now();
        for (SDirection& d : m_dir)
            if (!Deliver(d, after)) return false;
    }
}

}  // namespace rs232::tools
