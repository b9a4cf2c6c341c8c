// rs232-bench-client: the client's own requests, timed phase by phase for the benchmark.
//
//   rs232-bench-client DEVICE BAUD get REMOTE LOCAL [RETRIES]
//   rs232-bench-client DEVICE BAUD put LOCAL REMOTE [RETRIES]
//   rs232-bench-client DEVICE BAUD dl LISTFILE DIRECTORY SERVER_STDOUT
//   rs232-bench-client DEVICE BAUD line OTHER_END
//
// get and put run the client library's Get and Put, exactly as rs232-client does, and print
//   bytes=<n> blocks=<data blocks> chunk=<largest data block> whole=<s> content=<s> tries=<n>
// RETRIES (default 0): a transfer that failed on the line is started again, as rs232-client's
// --retries does; the phases are those of the last try, whole counts them all.
// whole is the call (ENQ, request, header or start block, data, end block, and for put the
// date request before and the information request after); content runs from the moment the
// first data block may start (header or start block acknowledged) to the acknowledgement of
// the last data block, which is the span the per-block ceiling describes.
//
// dl sends one directory-listing request and prints
//   acked=<s> written=<s>
// both counted from the first byte of the request: its acknowledgement, and the server's
// "Directory ... written" line appearing in SERVER_STDOUT (a file the server's stdout goes to).
// The request is sent 100 ms after the SYN. Gives up after 10 minutes.
//
// line times the cable alone, as a download uses it: 1 byte (an ACK) from DEVICE to OTHER_END
// and 522 bytes (a full block) back, 41 times each; prints the medians beside the ideal line
// times:
//   ack=<ms> ack_ideal=<ms> block=<ms> block_ideal=<ms>
//
// Exit status: 0 done, 1 a failure (message on stderr), 64 usage.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Client.h"
#include "ClientLink.h"
#include "link/Block.h"
#include "link/SerialPort.h"

using namespace rs232;
using namespace rs232::client;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Timestamps of the progress calls: the first (nothing sent yet) and the one with all bytes.
struct SPhases {
    Clock::time_point first{}, last{};
    bool seenFirst = false;
    long blocks = 0;
    long lastDone = 0;
    long chunk = 0;
    void operator()(long done, long total) {
        const auto now = Clock::now();
        if (!seenFirst) {
            seenFirst = true;
            first = now;
        } else if (done > lastDone) {
            ++blocks;
            chunk = std::max(chunk, done - lastDone);
        }
        lastDone = done;
        if (done == total) last = now;
    }
};

off_t FileSize(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Polls the server's stdout from offset on for a line holding text; the time it was seen, or
// nothing after the limit. A line holding failText ends the wait at once.
bool WaitForLine(const std::string& path, off_t offset, const std::string& text,
                 const std::string& failText, Clock::time_point limit, Clock::time_point& seen) {
    std::string tail;
    while (Clock::now() < limit) {
        const off_t size = FileSize(path);
        if (size > offset) {
            std::ifstream in(path, std::ios::binary);
            in.seekg(offset);
            std::string chunk(static_cast<size_t>(size - offset), '\0');
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            chunk.resize(static_cast<size_t>(in.gcount()));
            offset += static_cast<off_t>(chunk.size());
            tail += chunk;
            if (tail.find(text) != std::string::npos) {
                seen = Clock::now();
                return true;
            }
            if (tail.find(failText) != std::string::npos) return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Median time from writing n bytes on one end to having read them all on the other.
double MedianTransferMs(CSerialPort& from, CSerialPort& to, int n) {
    std::vector<double> times;
    std::vector<uint8_t> out(static_cast<size_t>(n), 0x55), in(4096);
    for (int round = 0; round < 41; ++round) {
        const auto start = Clock::now();
        if (from.Write(out.data(), n) != n) throw std::runtime_error("write failed");
        int got = 0;
        while (got < n) {
            pollfd p{to.GetFd(), POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) throw std::runtime_error("the cable delivers nothing");
            const int r = to.Read(in.data(), static_cast<int>(in.size()));
            if (r > 0) got += r;
        }
        times.push_back(Seconds(start, Clock::now()) * 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int Usage() {
    std::fprintf(stderr,
                 "usage: rs232-bench-client DEVICE BAUD get REMOTE LOCAL [RETRIES]\n"
                 "       rs232-bench-client DEVICE BAUD put LOCAL REMOTE [RETRIES]\n"
                 "       rs232-bench-client DEVICE BAUD dl LISTFILE DIRECTORY SERVER_STDOUT\n"
                 "       rs232-bench-client DEVICE BAUD line OTHER_END\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return Usage();
    const std::string device = argv[1];
    const int baud = std::atoi(argv[2]);
    const std::string command = argv[3];
    const bool transfer = command == "get" || command == "put";
    if (baud <= 0 || (command == "dl"   ? argc != 7
                      : transfer        ? argc != 6 && argc != 7
                                        : argc != 5))
        return Usage();

    CSerialPort serial;
    serial.SetDeviceMap({{1, device}});
    serial.SetParams(baud, 'N', 8, 1, 0, 0);
    if (serial.Open(1) != kPortOk) {
        std::fprintf(stderr, "rs232-bench-client: cannot open %s\n", device.c_str());
        return 1;
    }
    CClientLink link(serial, baud);
    CClient client(link);
    try {
        if (transfer) {
            SPhases phases;
            long bytes = 0;
            const auto start = Clock::now();
            const int tries = WithRetries(link, argc == 7 ? std::atoi(argv[6]) : 0, [&] {
                phases = SPhases{};
                bytes = command == "get" ? client.Get(argv[4], argv[5], std::ref(phases))
                                         : client.Put(argv[4], argv[5], std::ref(phases));
            });
            const auto end = Clock::now();
            std::printf("bytes=%ld blocks=%ld chunk=%ld whole=%.4f content=%.4f tries=%d\n",
                        bytes, phases.blocks, phases.chunk, Seconds(start, end),
                        Seconds(phases.first, phases.last), tries);
        } else if (command == "line") {
            CSerialPort other;
            other.SetDeviceMap({{1, argv[4]}});
            other.SetParams(baud, 'N', 8, 1, 0, 0);
            if (other.Open(1) != kPortOk) {
                std::fprintf(stderr, "rs232-bench-client: cannot open %s\n", argv[4]);
                return 1;
            }
            // As in a download: blocks from the other end, ACKs from ours.
            const double ack = MedianTransferMs(serial, other, 1);
            const double block = MedianTransferMs(other, serial, kMaxReplyData + kBlockOverhead);
            std::printf("ack=%.3f ack_ideal=%.3f block=%.3f block_ideal=%.3f\n", ack,
                        10'000.0 / baud, block, (kMaxReplyData + kBlockOverhead) * 10'000.0 / baud);
        } else if (command == "dl") {
            const std::string stdoutPath = argv[6];
            const off_t offset = FileSize(stdoutPath);
            link.Connect();
            // Starting the clock a moment after the SYN keeps the handshake out of the figure:
            // it measures the request alone.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const auto start = Clock::now();
            link.SendBlock("DL", 0, std::string(argv[4]) + "\n" + argv[5]);
            const auto acked = Clock::now();
            Clock::time_point written;
            if (!WaitForLine(stdoutPath, offset, "written to File", "Requested Path",
                             start + std::chrono::minutes(10), written)) {
                std::fprintf(stderr, "rs232-bench-client: the server reported no listing\n");
                return 1;
            }
            std::printf("acked=%.4f written=%.4f\n", Seconds(start, acked), Seconds(start, written));
        } else {
            return Usage();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rs232-bench-client: %s\n", e.what());
        return 1;
    }
    return 0;
}
