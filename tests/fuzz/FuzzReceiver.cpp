// The client's byte stream, fuzzed. The input is written to the master side of a pseudo-terminal
// whose slave side is the server's port, and Poll runs until the line is empty. Whatever arrives,
// the server must not crash, hang or touch a file outside its scratch directory (see StaysInside).
#include <poll.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "platform/FileOps.h"

namespace rs232::fuzz {
namespace {

using namespace std::chrono_literals;
using Clock = CSerialPort::Clock;

// The line discipline queues 4095 bytes; a longer input would block the writer.
constexpr size_t kMaxInput = 3000;

// Reads and drops whatever the server has written, without waiting.
void DrainReplies(int master) {
    uint8_t buf[4096];
    for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 0) > 0 && read(master, buf, sizeof buf) > 0;) {
    }
}

// Gives every complete-looking block in the stream its right CRC text and ETX, so that mutated
// request data gets past the frame check and reaches the handlers.
void RepairBlocks(uint8_t* data, size_t size) {
    static const CCrc32 crc = [] {
        CCrc32 c;
        c.BuildTable();
        return c;
    }();
    for (size_t i = 0; i + 1 + kBlockHeaderSize <= size;) {
        const SBlockHeader h = ParseBlockHeader(data + i + 1);
        const size_t end = i + 1 + kBlockHeaderSize + static_cast<size_t>(h.len) + kBlockTailSize;
        if (data[i] != STX || !h.lenAcceptable || end > size) {
            ++i;
            continue;
        }
        uint8_t* body = data + i + 1 + kBlockHeaderSize;
        const std::string text = CrcText(crc, data + i + 1, body, h.len);
        std::copy(text.begin(), text.end(), body + h.len);
        body[h.len + 8] = ETX;
        i = end;
    }
}

}  // namespace
}  // namespace rs232::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace rs232;
    using namespace rs232::fuzz;
    if (size == 0 || size > kMaxInput || !StaysInside(data, size)) return -1;
    static CHarness h(3);
    // Waits of a few ms: the whole input is queued before the first Poll, so a block that is not
    // complete by then never will be.
    h.SetLinkLimits({3ms, 3ms, 3ms, 0ms});
    CWorkIn inScratch(h.dir.Path());
    h.Restore();
    h.PurgeInput();
    DrainReplies(h.pty.Master());

    h.pty.Send(test::Bytes(data, data + size));
    // The first bytes show up on the slave side almost at once; later ones may trail a little.
    Clock::duration grace = 200ms;
    for (size_t polls = 0; h.WaitForInQueue(1, Clock::now() + grace) > 0; ++polls, grace = 2ms) {
        // One byte per Poll at the least, so the input is used up within this many calls.
        if (polls > size + 1) Fail("Poll does not consume the input");
        std::string status;
        try {
            h.Poll(status);
        } catch (const CFileException&) {
            // Reported to the operator by the tick; the next Poll goes on.
        }
        DrainReplies(h.pty.Master());
        if (!h.IsRunning() || !h.IsOpen()) Fail("server lost its port");
    }
    DrainReplies(h.pty.Master());
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 4 != 0) rs232::fuzz::RepairBlocks(data, size);  // some frame errors stay
    return size;
}
