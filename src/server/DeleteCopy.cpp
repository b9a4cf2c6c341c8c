// DF deletes one file, CF copies a file ("<destination> LF <source>"). No reply block; the
// outcome reaches the event log only. A path or part of more than 199 bytes, or a negative LEN,
// is refused before any file is looked at. A refused deletion (a directory, a read-only file)
// throws CFileException out of the handler: the request fails with it. CF never replaces a
// read-only destination.

#include "server/Rs232Server.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"

namespace rs232 {

SPollEvent CRs232Server::DFBlockReceived(long cnt, const uint8_t* data, int len) {
    std::string status;
    if (!AcceptOnlyCntZero(cnt, "DF", status) || !AcceptChange("DF", status))
        return Refused(status);
    if (len < 0 || len > kMaxPathPart)
        return Refused(FormatText("Error: DF Block path length %d refused (at most %d bytes)", len,
                                  kMaxPathPart));
    std::string path;
    if (!ResolveRequestPath(RequestText(data, len), path, status)) return Refused(status);
    CFileStatus fs;
    if (!GetStatus(path, fs))
        return Refused(FormatText("Requested File %s not found", path.c_str()));
    CFile::Remove(path);
    return Served(FormatText("File %s Removed!", path.c_str()));
}

SPollEvent CRs232Server::CFBlockReceived(long cnt, const uint8_t* data, int len) {
    std::string dest, source, status;
    if (!AcceptTwoPathRequest("CF", cnt, data, len, dest, source, status)) return Refused(status);
    m_request.file = dest;
    CDirectory destDir;
    if (!AcceptTarget(dest, destDir, status) || !AcceptPath(source, status)) return Refused(status);
    CFileStatus fs;
    if (!GetStatus(source, fs))
        return Refused(FormatText("Requested File %s not found", source.c_str()));
    if (!CopyFileInto(source, destDir, dest.substr(DirectoryOf(dest).size()), true,
                      [this] { PumpMessages(); }))
        return Failed(FormatText("Error CopyFile %s to %s!", source.c_str(), dest.c_str()));
    m_request.bytes = fs.m_size64;
    return Served(FormatText("File %s copied to %s!", source.c_str(), dest.c_str()));
}

}  // namespace rs232
