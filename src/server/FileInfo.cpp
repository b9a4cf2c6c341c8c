// IR: answers with one FI block, "size;mtime;" plus one raw attribute byte, or CNT -1 and
// "File not found".
//
// A path of more than 99 bytes (or a negative LEN) gets the not-found answer, so a client always
// receives its one FI block. A file of 2 GiB or more is reported with the largest size the
// signed 32-bit field holds, 2147483647, and the status text says the real size did not fit.
#include <climits>

#include "server/Rs232Server.h"
#include "platform/FileOps.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {
const char kNotFound[] = "File not found";
}  // namespace

SPollEvent CRs232Server::IRBlockReceived(long cnt, const uint8_t* data, int len) {
    std::string status;
    if (!AcceptOnlyCntZero(cnt, "IR", status)) return Refused(status);

    std::string reply = kNotFound;
    long replyCnt = -1;
    std::string path;
    CFileStatus fs;
    if (len < 0 || len > kMaxRequestPath) {
        status = len < 0 ? FormatText("Requested path has an invalid length (%d bytes)", len)
                         : FormatText("Requested path too long (%d bytes)", len);
    } else if (ResolveRequestPath(RequestText(data, len), path, status)) {
        if (GetStatus(path, fs)) {
            // "%c" of a 0x00 attribute writes a NUL that the text length does not count.
            reply = FormatText("%ld;%ld;", static_cast<long>(fs.m_size),  // clamped to INT32_MAX
                               static_cast<long>(fs.m_mtime));
            reply.push_back(static_cast<char>(fs.m_attribute));
            replyCnt = 0;
        } else {
            status = FormatText("Requested File %s not found", path.c_str());
        }
    }

    const int r = SendReplyBlock("FI", replyCnt, reply.data(), static_cast<int>(reply.size()));
    if (r != 1) return Failed(FormatText("Error %d while sending FI Block!", r));
    if (replyCnt != 0) return Refused(status);
    if (fs.m_size64 > INT32_MAX)
        return Served(FormatText("File Info %s transmitted to Client! The file is too large for "
                                 "the size field (%lld bytes), size sent as %d",
                                 path.c_str(), static_cast<long long>(fs.m_size64), INT32_MAX),
                      EEventLevel::Warning);
    return Served(FormatText("File Info %s transmitted to Client!", path.c_str()));
}

}  // namespace rs232
