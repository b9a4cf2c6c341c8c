// RF: sends a file as an SF header ("<request path>;<length>", CNT 0, or CNT -2 with an error
// text), content blocks 1, 2, 3 ... of up to 500 bytes and an SF end block with CNT -1.
//
// Refused with the "File Open Error" header, so the client learns at once that no data follows:
// a request path of more than 99 bytes (or a negative LEN), and a file too long for the block
// counter (more than 999999 blocks of 500 bytes, which also keeps the length text in 32 bits).
// A read error in the middle of a transfer throws CFileException out of the handler, and the
// request fails with it; the file closes with its object and no further block is sent. The
// owner's periodic work runs once a content block (PumpMessages), and the transfer's progress
// moves with every block acknowledged.
#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>
#include <vector>

#include "server/Rs232Server.h"
#include "platform/FileOps.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {
constexpr long kMaxBlockNumber = 999999;  // widest CNT the six-character field carries
constexpr int64_t kMaxDownloadSize = int64_t{kMaxBlockNumber} * kMaxReplyData;
static_assert(kMaxDownloadSize <= INT32_MAX, "the SF header carries the length as a 32-bit number");
const char kNotFound[] = "File not found";
const char kOpenError[] = "File Open Error";
}  // namespace

SPollEvent CRs232Server::RFBlockReceived(long cnt, const uint8_t* data, int len) {
    std::string status;
    if (!AcceptOnlyCntZero(cnt, "RF", status)) return Refused(status);

    std::string header;
    long headerCnt = -2;
    int64_t remaining = 0;  // what the header announced: a file that grows (the log) sends no more
    std::string path;
    CFile file;
    bool openFailed = false;  // the file is there and cannot be read: failed, not refused
    if (len < 0 || len > kMaxRequestPath) {
        header = kOpenError;
        status = len < 0 ? FormatText("Requested path has an invalid length (%d bytes), "
                                      "download refused", len)
                         : FormatText("Requested path too long (%d bytes), download refused",
                                      len);
    } else {
        const std::string request = RequestText(data, len);
        CFileStatus fs;
        if (!ResolveRequestPath(request, path, status)) {
            header = kNotFound;
        } else if (!GetStatus(path, fs)) {
            header = kNotFound;
            status = FormatText("Requested File %s not found", path.c_str());
        } else if (!file.Open(path, CFile::modeRead)) {
            header = kOpenError;
            status = FormatText("Cannot open requested file %s", path.c_str());
            openFailed = true;
        } else {
            const int64_t length = file.GetLength();
            if (length > kMaxDownloadSize) {
                file.Close();
                header = kOpenError;
                status = FormatText("File %s too large to transmit (%lld bytes, at most %lld)",
                                    path.c_str(), static_cast<long long>(length),
                                    static_cast<long long>(kMaxDownloadSize));
            } else {
                header = request + FormatText(";%ld", static_cast<long>(length));
                remaining = length;
                headerCnt = 0;
            }
        }
    }

    int r = SendReplyBlock("SF", headerCnt, header.data(), static_cast<int>(header.size()));
    if (r != 1) return Failed(FormatText("Error %d (Pos 1) while sending SF Block!", r));
    if (headerCnt == -2) return openFailed ? Failed(status) : Refused(status);

    LogMessage(FormatText("Transmitting File %s to Client ...", path.c_str()));
    BeginTransfer(path, false, remaining);
    // Ends the progress however the transfer ends, a read error thrown out of here included.
    const std::unique_ptr<CRs232Server, void (*)(CRs232Server*)> endTransfer(
        this, [](CRs232Server* server) { server->EndTransfer(); });

    uint8_t chunk[kMaxReplyData];
    std::vector<uint8_t> block(kMaxReplyData + kBlockOverhead);
    long blockNumber = 0;
    uint32_t crc = 0;  // of the content acknowledged so far
    auto next = [&] {
        const int64_t n = std::min<int64_t>(file.Read(chunk, kMaxReplyData), remaining);
        remaining -= n;
        return static_cast<int>(n);
    };
    for (int got = next(); got > 0; got = next()) {
        ++blockNumber;
        int length = 0;
        BuildBlock("SF", blockNumber, got, chunk, block.data(), length);
        // The owner's periodic work (the state file among it) runs once a block.
        PumpMessages();
        std::this_thread::sleep_for(GetLinkLimits().blockPause);
        r = SendBlockRetry(block.data(), length);
        if (r != 1) return Failed(FormatText("Error %d (Pos 2) while sending SF Block!", r));
        AdvanceTransfer(got);
        m_request.bytes += got;
        crc = m_crc.Update(crc, chunk, static_cast<size_t>(got));
    }

    r = SendReplyBlock("SF", -1, nullptr, 0);
    file.Close();
    if (r != 1) return Failed(FormatText("Error %d (Pos 3) while sending SF Block!", r));
    m_request.crc32 = crc;
    return Served(FormatText("File %s transmitted to Client!", path.c_str()));
}

}  // namespace rs232
