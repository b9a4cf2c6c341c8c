// The client's byte stream, fuzzed. The input is written to the master side of a pseudo-terminal
// whose slave side is the server's port, and Poll runs until the line is empty. Whatever arrives,
// the server must not crash, hang or touch a file outside its scratch directory (see StaysInside).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "FuzzSupport.h"
#include "platform/FileOps.h"
#include "support/Pty.h"

namespace rs232::fuzz {
namespace {

using namespace std::chrono_literals;
using Clock = CSerialPort::Clock;

// The line discipline queues 4095 bytes; a longer input would block the writer.
constexpr size_t kMaxInput = 3000;
constexpr int kPort = 3;

struct SHarness {
    SHarness() {
        server.SetDeviceMap({{kPort, pty.SlavePath()}});
        if (server.StartServer(kPort, 115200, nullptr, nullptr) != 1) std::abort();
        server.SetBasePath(dir.Path());
        server.SetBackupPath(dir.Path() + "BAK/");
        // Waits of a few ms: the whole input is queued before the first Poll, so a block that
        // is not complete by then never will be.
        SLinkLimits limits;
        limits.header = 3ms;
        limits.rest = 3ms;
        limits.answer = 3ms;
        limits.blockPause = 0ms;
        server.SetLinkLimits(limits);
    }

    // Reads and drops whatever the server has written, without waiting.
    void DrainReplies() {
        uint8_t buf[4096];
        for (;;) {
            pollfd p{pty.Master(), POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || read(pty.Master(), buf, sizeof buf) <= 0) return;
        }
    }

    test::CTempDir dir;
    test::CPty pty;
    CFuzzServer server;
};

// Gives every complete-looking block in the stream its right CRC text and ETX, so that mutated
// request data gets past the frame check and reaches the handlers.
void RepairBlocks(uint8_t* data, size_t size) {
    static const CCrc32 crc = [] {
        CCrc32 c;
        c.BuildTable();
        return c;
    }();
    size_t i = 0;
    while (i + 1 + kBlockHeaderSize <= size) {
        if (data[i] != STX) {
            ++i;
            continue;
        }
        const uint8_t* header = data + i + 1;
        const SBlockHeader h = ParseBlockHeader(header);
        const size_t end = i + 1 + kBlockHeaderSize + static_cast<size_t>(h.len) + kBlockTailSize;
        if (!h.lenAcceptable || end > size) {
            ++i;
            continue;
        }
        uint8_t* body = data + i + 1 + kBlockHeaderSize;
        const std::string text = CrcText(crc, header, body, h.len);
        std::copy(text.begin(), text.end(), body + h.len);
        body[h.len + 8] = ETX;
        i = end;
    }
}

SHarness& Harness() {
    static SHarness harness;  // its scratch directory goes at a normal exit
    return harness;
}

}  // namespace
}  // namespace rs232::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace rs232;
    using namespace rs232::fuzz;
    if (size == 0 || size > kMaxInput || !StaysInside(data, size)) return -1;

    SHarness& h = Harness();
    CWorkIn inScratch(h.dir.Path());
    RestoreScratch(h.dir.Path());
    h.server.ResetUpload();
    h.server.PurgeInput();
    h.DrainReplies();

    h.pty.Send(test::Bytes(data, data + size));
    // The first bytes show up on the slave side almost at once; later ones may trail a little.
    Clock::duration grace = 200ms;
    for (int polls = 0;; ++polls) {
        if (h.server.WaitForInQueue(1, Clock::now() + grace) <= 0) break;
        grace = 2ms;
        // One byte per Poll at the least, so the input is used up within this many calls.
        if (polls > static_cast<int>(size) + 1) Fail("Poll does not consume the input");
        std::string status;
        try {
            h.server.Poll(status);
        } catch (const CFileException&) {
            // Reported to the operator by the tick; the next Poll goes on.
        }
        h.DrainReplies();
        if (!h.server.IsRunning() || !h.server.IsOpen()) Fail("server lost its port");
    }
    h.DrainReplies();
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 4 != 0) rs232::fuzz::RepairBlocks(data, size);  // some frame errors stay
    return size;
}
