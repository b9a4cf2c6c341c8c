// DF deletes one file, CF copies a file ("<destination> LF <source>"). No reply block; the
// outcome is the status text. A path or part of more than 199 bytes, or a negative LEN, is
// refused with -111 before any file is looked at. A refused deletion (a directory, a read-only
// file) throws CFileException out of the handler. CF never replaces a read-only destination.

#include "server/Rs232Server.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"

namespace rs232 {

int CRs232Server::DFBlockReceived(long cnt, const uint8_t* data, int len, std::string& status) {
    SetResult(EResult::Refused);  // until the file is removed
    if (!AcceptOnlyCntZero(cnt, "DF", status) || !AcceptChange("DF", status)) return kRefused;
    if (len < 0 || len > kMaxPathPart) {
        status = FormatText("Error: DF Block path length %d refused (at most %d bytes)", len,
                            kMaxPathPart);
        return kRefused;
    }
    std::string path;
    const bool resolved = ResolvePath(RequestText(data, len), path, status);
    m_request.file = path;
    if (!resolved || !AcceptPath(path, status)) return kRefused;
    CFileStatus fs;
    if (GetStatus(path, fs)) {
        CFile::Remove(path);
        status = FormatText("File %s Removed!", path.c_str());
        SetResult(EResult::Served, EEventLevel::Info);
    } else {
        status = FormatText("Requested File %s not found", path.c_str());
    }
    return 1;
}

int CRs232Server::CFBlockReceived(long cnt, const uint8_t* data, int len, std::string& status) {
    std::string dest, source;
    SetResult(EResult::Refused);  // until the copy is made
    if (!AcceptTwoPathRequest("CF", cnt, data, len, dest, source, status)) return kRefused;
    m_request.file = dest;
    CDirectory destDir;
    if (!AcceptTarget(dest, destDir, status) || !AcceptPath(source, status)) return kRefused;
    CFileStatus fs;
    if (!GetStatus(source, fs)) {
        status = FormatText("Requested File %s not found", source.c_str());
        return 1;
    }
    if (CopyFileInto(source, destDir, dest.substr(DirectoryOf(dest).size()))) {
        status = FormatText("File %s copied to %s!", source.c_str(), dest.c_str());
        SetResult(EResult::Served, EEventLevel::Info);
        m_request.bytes = fs.m_size64;
    } else {
        status = FormatText("Error CopyFile %s to %s!", source.c_str(), dest.c_str());
        SetResult(EResult::Failed);
    }
    return 1;
}

}  // namespace rs232
