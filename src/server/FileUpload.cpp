// FT: receives a file as a start block ("<target>;<size>", CNT 0), data blocks 1, 2, 3 ... and
// an end block (CNT -1). The data collects in the temp file FT_TMP<port>.TMP in the current
// directory; a finished upload of the announced size is copied over the target (atomically) and
// the temp file is moved to BAK<port>_<yyyymmddhhmmss>_<name> in the backup directory (made
// again when it was removed). The finish checks the target again and writes it through its
// checked directory; a refused or read-only target takes the "Copy failed" path, so the received
// file is kept in the backup directory only.
//
// The upload state spans ticks: m_upload.m_nLastBlock (-1 idle, 0 started, n last stored block),
// m_upload.m_bUploadError (a block was missing or the temp file could not be opened; cleared only by a
// start block), m_upload.m_strRecFile and m_upload.m_nFileSize. Nothing is reported over the
// line. The request's outcome is made at the end block, or at a start block that is refused; the
// start and data blocks in between log events of their own. A start block without ";" or with a segment or size text of 100 bytes or more
// is refused before anything changes, so an upload in progress survives it; so is a start block
// whose target is the temp file itself.
// Not caught here (they leave the handler): CFileException from deleting a leftover temp file at
// a start block and from seeking, writing or closing the temp file for a data block.
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "server/Rs232Server.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"

namespace rs232 {

int CRs232Server::FTBlockReceived(long cnt, const uint8_t* data, int len, std::string& status) {
    const std::string tmpFile = FormatText("FT_TMP%2.2d.TMP", m_nPort);
    if (len < 0) {
        status = FormatText("FTBlockReceived: Block %ld with invalid length %d ignored", cnt, len);
        NotTheEnd(EEventLevel::Warning);
        return 1;
    }

    if (!AcceptChange("FT", status)) {
        status = FormatText("FTBlockReceived: %s", status.c_str());
        // A data block is no request of its own: only a start or end block ends one.
        if (cnt != 0 && cnt != -1) NotTheEnd(EEventLevel::Error);
        SetResult(EResult::Refused);
        return 1;
    }

    if (cnt == 0) {
        // Split first, so that a refused start block leaves everything as it was. The target is
        // the segment before the last ';', the size text what follows it.
        std::string targetText;
        bool haveTarget = false;
        std::string field;
        size_t longest = 0;
        for (int i = 0; i < len; ++i) {
            const char c = static_cast<char>(data[i]);
            if (c == ';') {
                longest = std::max(longest, field.size());
                targetText = std::move(field);
                haveTarget = true;
                field.clear();
            } else {
                field.push_back(c);
            }
        }
        longest = std::max(longest, field.size());
        SetResult(EResult::Refused);  // until the start block is taken
        if (!haveTarget) {
            status = "FTBlockReceived: Start block without ';' refused";
            return 1;
        }
        if (longest > static_cast<size_t>(kMaxRequestPath)) {
            status = FormatText(
                "FTBlockReceived: Start block refused, path segment or size of %zu bytes too long",
                longest);
            return 1;
        }

        std::string target;
        if (!ResolvePath(RequestText(reinterpret_cast<const uint8_t*>(targetText.data()),
                                     static_cast<int>(targetText.size())),
                         target, status) ||
            !AcceptPath(target, status)) {
            status = FormatText("FTBlockReceived: %s", status.c_str());
            return 1;
        }
        // The finish moves the temp file into the backup directory: as the target it would be
        // gone after a finish reported as done.
        if (CanonicalPath(target) == CanonicalPath(tmpFile)) {
            status = FormatText("FTBlockReceived: Start block refused, %s is the upload temp file",
                                target.c_str());
            return 1;
        }

        if (FileExists(tmpFile)) CFile::Remove(tmpFile);
        m_upload = {};
        m_upload.m_nLastBlock = 0;
        m_upload.m_strRecFile = target;
        m_upload.m_nFileSize = std::strtol(RequestText(reinterpret_cast<const uint8_t*>(field.data()),
                                              static_cast<int>(field.size()))
                                      .c_str(),
                                  nullptr, 10);
        BeginTransfer(m_upload.m_strRecFile, true, m_upload.m_nFileSize);
        SetResult(EResult::Served, EEventLevel::Info);
        m_upload.request = m_request;
        m_upload.request.file = target;
        m_upload.started = m_requestStarted;
        status = FormatText("Receiving File %s...", m_upload.m_strRecFile.c_str());
        NotTheEnd(EEventLevel::Info);
        return 1;
    }

    if (cnt != -1) {
        NotTheEnd(EEventLevel::Info);
        if (cnt == m_upload.m_nLastBlock + 1) {
            m_upload.m_nLastBlock = cnt;
            CFile file;
            bool open;
            if (FileExists(tmpFile)) {
                open = file.Open(tmpFile, CFile::modeWrite);
                if (open) file.SeekToEnd();
            } else {
                open = file.Open(tmpFile, CFile::modeCreate | CFile::modeWrite);
            }
            if (open) {
                file.Write(data, len);
                file.Close();
                AdvanceTransfer(len);
                m_upload.request.bytes += len;
                m_upload.crc = m_crc.Update(m_upload.crc, data, static_cast<size_t>(len));
                status.clear();
            } else {
                status = FormatText("FTBlockReceived: Error Open Tmp File <%s>", tmpFile.c_str());
                NotTheEnd(EEventLevel::Error);
                m_upload.m_bUploadError = 1;
            }
        } else if (cnt > m_upload.m_nLastBlock) {
            status = FormatText("FTBlockReceived: Block missing rec: %ld exp: %ld", cnt,
                                m_upload.m_nLastBlock + 1);
            NotTheEnd(EEventLevel::Error);
            m_upload.m_bUploadError = 1;
        } else {
            status = FormatText("FTBlockReceived: Block retry %ld", cnt);
            NotTheEnd(EEventLevel::Warning);
            ++m_upload.request.retries;  // the client sent it again: our ACK did not reach it
        }
        return 1;
    }

    // End block: the request that the start block opened ends here (an end block without a
    // start is a request of its own, without data).
    EndTransfer();
    if (m_upload.m_nLastBlock >= 0) {
        m_request = m_upload.request;
        m_requestStarted = m_upload.started;
    }
    if (m_upload.m_bUploadError) {
        status = "FTBlockReceived: Error Block Missing!";
        SetResult(EResult::Failed);
        return 1;
    }
    if (m_upload.m_nLastBlock < 1) {
        status = "FTBlockReceived: File end without file data!";
        SetResult(EResult::Refused);
        return 1;
    }
    m_upload.m_nLastBlock = -1;

    CFileStatus fs;
    if (!GetStatus(tmpFile, fs)) {
        status = "FTBlockReceived: Receiving File Status ERROR";
        SetResult(EResult::Failed);
        return 1;
    }
    if (fs.m_size64 != m_upload.m_nFileSize) {
        status = FormatText("FTBlockReceived: Receiving File Size ERROR %ld != %ld",
                            static_cast<long>(fs.m_size64), m_upload.m_nFileSize);
        SetResult(EResult::Failed);
        return 1;
    }
    m_request.crc32 = m_upload.crc;

    const CLocalTime t = LocalNow();
    const size_t slash = m_upload.m_strRecFile.rfind('/');
    const std::string name =
        slash == std::string::npos ? m_upload.m_strRecFile : m_upload.m_strRecFile.substr(slash + 1);
    const std::string backupFile =
        m_strBackupPath + FormatText("BAK%d_%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d_", m_nPort, t.year,
                                     t.month, t.day, t.hour, t.minute, t.second) +
        name;

    // The target is checked again: what its path names may have changed since the start block.
    CDirectory dir;
    std::string refusal;
    const bool accepted = AcceptTarget(m_upload.m_strRecFile, dir, refusal);
    if (!accepted) LogMessage("FTBlockReceived: " + refusal, EEventLevel::Error);
    const bool copied = accepted && CopyFileInto(tmpFile, dir, name);
    MakeDir(DirectoryOf(backupFile));  // a backup directory removed meanwhile is made again
    try {
        if (FileExists(backupFile)) CFile::Remove(backupFile);
        CFile::Rename(tmpFile, backupFile);
        m_request.backup = backupFile;
        status = copied
                     ? FormatText("Receiving and Copy and Rename (Backup) File %s OK!",
                                  m_upload.m_strRecFile.c_str())
                     : FormatText("Receiving and Rename (Backup) File %s OK. Copy failed !!!",
                                  m_upload.m_strRecFile.c_str());
    } catch (...) {
        status = FormatText("FTBlockReceived: Error Renaming %s to %s", tmpFile.c_str(),
                            backupFile.c_str());
    }
    if (!copied || m_request.backup.empty()) SetResult(EResult::Failed);
    return 1;
}

}  // namespace rs232
