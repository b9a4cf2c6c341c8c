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

int CRs232Server::IRBlockReceived(long cnt, const uint8_t* data, int len, std::string& status) {
    if (!AcceptOnlyCntZero(cnt, "IR", status)) {
        SetResult(EResult::Refused);
        return kRefused;
    }

    std::string reply;
    long replyCnt = 0;
    bool found = false;
    std::string path;
    CFileStatus fs;
    SetResult(EResult::Refused);  // until the file is found
    if (len < 0 || len > kMaxRequestPath) {
        reply = kNotFound;
        replyCnt = -1;
        status = len < 0 ? FormatText("Requested path has an invalid length (%d bytes)", len)
                         : FormatText("Requested path too long (%d bytes)", len);
    } else {
        const bool resolved = ResolvePath(RequestText(data, len), path, status);
        m_request.file = path;
        if (!resolved || !AcceptPath(path, status)) {
            reply = kNotFound;
            replyCnt = -1;
        } else if (GetStatus(path, fs)) {
            found = true;
            SetResult(EResult::Served, EEventLevel::Info);
            // "%c" of a 0x00 attribute writes a NUL that the text length does not count.
            reply = FormatText("%ld;%ld;", static_cast<long>(fs.m_size),  // clamped to INT32_MAX
                               static_cast<long>(fs.m_mtime));
            reply.push_back(static_cast<char>(fs.m_attribute));
        } else {
            reply = kNotFound;
            replyCnt = -1;
            status = FormatText("Requested File %s not found", path.c_str());
        }
    }

    const int r = SendReplyBlock("FI", replyCnt, reply.data(), static_cast<int>(reply.size()));
    if (r != 1) {
        status = FormatText("Error %d while sending FI Block!", r);
        SetResult(EResult::Failed);
        return r;
    }
    if (found) {
        if (fs.m_size64 > INT32_MAX) {
            SetResult(EResult::Served, EEventLevel::Warning);
            status = FormatText(
                "File Info %s transmitted to Client! The file is too large for the size field "
                "(%lld bytes), size sent as %d",
                path.c_str(), static_cast<long long>(fs.m_size64), INT32_MAX);
        } else {
            status = FormatText("File Info %s transmitted to Client!", path.c_str());
        }
    }
    return 1;
}

}  // namespace rs232
