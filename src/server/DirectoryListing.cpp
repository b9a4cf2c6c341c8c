// DL writes the listing of a directory into a list file on the server ("<list file> LF
// <directory>"), one "name;size;mtime;attributes" line with CR LF per entry, in the order the
// directory search delivers them. No reply block; the outcome reaches the event log only.
// A part of more than 199 bytes, or a negative LEN, is refused with -111. The list file is
// never created through a symbolic link; a listing that cannot be written whole leaves the old
// list file as it was.

#include "server/Rs232Server.h"
#include "platform/DirSearch.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// A long listing lets the owner's periodic work run after this many entries.
constexpr long kEntriesPerPump = 256;

std::string ListLine(const CFindData& entry) {
    return FormatText("%s;%ld;%ld;%2.2X\r\n", entry.name.c_str(), static_cast<long>(entry.size),
                      static_cast<long>(entry.time), entry.attrib);
}
}  // namespace

SPollEvent CRs232Server::DLBlockReceived(long cnt, const uint8_t* data, int len) {
    std::string listFile, directory, status;
    if (!AcceptTwoPathRequest("DL", cnt, data, len, listFile, directory, status))
        return Refused(status);
    m_request.file = listFile;
    CDirectory listDir;
    if (!AcceptPath(directory, status) || !AcceptTarget(listFile, listDir, status))
        return Refused(status);

    // The directory part ends in a separator; the existence test goes without it.
    const std::string testPath =
        directory.empty() ? std::string() : directory.substr(0, directory.size() - 1);
    CFileStatus fs;
    if (!GetStatus(testPath, fs))
        return Refused(FormatText("Requested Path %s not found", testPath.c_str()));

    switch (WriteDirectoryToFile(listDir, listFile, directory)) {
    case 0:
        return Served(FormatText("Directory %s written to File %s!", directory.c_str(),
                                 listFile.c_str()));
    case -1:
        return Failed(FormatText("Directory %s cannot be read or has no entries, list file %s "
                                 "not written",
                                 directory.c_str(), listFile.c_str()));
    default:
        return Failed(FormatText("Cannot create list file %s", listFile.c_str()));
    }
}

// 0 written; -1 the search delivered no entry; -2 the list file could not be created or
// written whole (a full disk, a read-only list file). The list goes to a temp file beside the
// list file and takes its name only when complete: on failure the old list file is untouched.
int CRs232Server::WriteDirectoryToFile(const CDirectory& dir, const std::string& listFile,
                                       const std::string& directory) {
    CDirSearch search;
    CFindData entry;
    if (!search.FindFirst(directory, entry)) return -1;

    CNewFile file(dir, listFile.substr(DirectoryOf(listFile).size()));
    if (!file.Create(true)) return -2;
    try {
        long entries = 0;
        do {
            if (++entries % kEntriesPerPump == 0) PumpMessages();
            if (CNewFile::IsTempFileName(entry.name)) continue;  // a write in progress, ours too
            const std::string line = ListLine(entry);
            file.Write(line.data(), static_cast<int>(line.size()));
        } while (search.FindNext(entry));
    } catch (const CFileException&) {
        return -2;
    }
    return file.Commit(true) ? 0 : -2;
}

}  // namespace rs232
