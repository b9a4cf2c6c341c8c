// FT: receives a file as a start block ("<target>;<size>", CNT 0), data blocks 1, 2, 3 ... and
// an end block (CNT -1). The data collects in the temp file FT_TMP<port>.TMP in the current
// directory; a finished upload of the announced size is copied over the target (atomically) and
// the temp file is moved to BAK<port>_<yyyymmddhhmmss>_<name> in the backup directory (made
// again when it was removed). The finish checks the target again and writes it through its
// checked directory; a refused or read-only target takes the "Copy failed" path, so the received
// file is kept in the backup directory only.
//
// The upload state spans ticks: m_upload.m_nLastBlock (-1 no upload, 0 started, n last stored
// block), m_upload.m_bUploadError (a block was missing or the temp file could not be opened;
// cleared only by a start block), m_upload.m_strRecFile and m_upload.m_nFileSize. Nothing is
// reported over the line.
//
// One upload is one request. It ends at its end block, whatever came between; or at once at a
// start block that is refused (read-only, malformed, outside the access root, the temp file
// itself) or fails (a leftover temp file that cannot be removed). The client does not learn of
// a refusal and sends its data and end blocks all the same: they belong to the refused upload,
// store nothing and log nothing. A refused start block while an upload is in progress is a
// request of its own and leaves that upload as it was; an accepted one ends that upload as
// failed. Blocks outside an upload (no start block
// came, or its end came already) log what they are and end no request. A data block refused
// because the server became read-only refuses the upload it belongs to, at its end. A file error
// writing a data block is reported and the upload goes on: its end finds the size short.
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "server/Rs232Server.h"
#include "platform/Clock.h"
#include "platform/DatedName.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {
constexpr const char* kPrefix = "FTBlockReceived: ";
}  // namespace

SPollEvent CRs232Server::FTBlockReceived(long cnt, const uint8_t* data, int len) {
    if (len < 0)
        return Line(
            FormatText("FTBlockReceived: Block %ld with invalid length %d ignored", cnt, len),
            EEventLevel::Warning);
    std::string readOnly;
    if (!AcceptChange("FT", readOnly)) readOnly = kPrefix + readOnly;
    if (cnt == 0) return UploadStart(data, len, readOnly);
    if (m_upload.refused) {
        if (cnt == -1) m_upload = {};
        return Line({}, EEventLevel::Info);
    }
    if (cnt == -1) return UploadEnd(readOnly);
    if (!readOnly.empty()) {
        if (m_upload.request) m_upload.refusal = readOnly;
        return Line(readOnly, EEventLevel::Error);
    }
    return UploadData(cnt, data, len);
}

SPollEvent CRs232Server::UploadStartEnds(EResult result, std::string text) {
    // With no upload in progress, the blocks the client sends after this one belong to it.
    if (!m_upload.request) {
        m_upload = {};
        m_upload.refused = true;
    }
    return End(result, std::move(text), EEventLevel::Error);
}

SPollEvent CRs232Server::UploadStart(const uint8_t* data, int len, const std::string& readOnly) {
    // Split first, so that a refused start block leaves everything as it was. The target is the
    // segment before the last ';', the size text what follows it.
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
    const auto text = [](const std::string& s) {
        return RequestText(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
    };
    // Without a target the block's text, as sent, is all there is to name.
    if (haveTarget)
        NoteRequestFile(text(targetText));
    else
        m_request.file = text(field);
    if (!readOnly.empty()) return UploadStartEnds(EResult::Refused, readOnly);
    if (!haveTarget)
        return UploadStartEnds(EResult::Refused,
                               "FTBlockReceived: Start block without ';' refused");
    if (longest > static_cast<size_t>(kMaxRequestPath))
        return UploadStartEnds(EResult::Refused,
                               FormatText("FTBlockReceived: Start block refused, path segment or "
                                          "size of %zu bytes too long",
                                          longest));
    std::string target, status;
    if (!ResolveRequestPath(text(targetText), target, status))
        return UploadStartEnds(EResult::Refused, kPrefix + status);
    // The finish moves the temp file into the backup directory: as the target it would be gone
    // after a finish reported as done.
    const std::string tmpFile = UploadTempFile();
    if (CanonicalPath(target) == CanonicalPath(tmpFile))
        return UploadStartEnds(EResult::Refused,
                               FormatText("FTBlockReceived: Start block refused, %s is the upload "
                                          "temp file",
                                          target.c_str()));
    try {
        if (FileExists(tmpFile)) CFile::Remove(tmpFile);
    } catch (const CFileException& e) {
        SPollEvent failed = UploadStartEnds(EResult::Failed, e.Describe());
        failed.report = true;
        return failed;
    }

    const SUploadState previous = std::exchange(m_upload, {});
    m_upload.m_nLastBlock = 0;
    m_upload.m_strRecFile = target;
    m_upload.m_nFileSize = std::strtol(text(field).c_str(), nullptr, 10);
    BeginTransfer(target, true, m_upload.m_nFileSize);
    m_upload.request = m_request;
    m_upload.started = m_requestStarted;
    const std::string receiving = FormatText("Receiving File %s...", target.c_str());
    if (!previous.request) return Line(receiving, EEventLevel::Info);
    // The upload in progress (a client that starts its transfer again) ends here, failed; this
    // block's line stays its own.
    m_request = *previous.request;
    m_requestStarted = previous.started;
    SPollEvent ended = Failed(FormatText("FTBlockReceived: Upload of %s abandoned for a new "
                                         "start block",
                                         previous.m_strRecFile.c_str()));
    ended.text = receiving;
    ended.level = EEventLevel::Info;
    return ended;
}

SPollEvent CRs232Server::UploadData(long cnt, const uint8_t* data, int len) {
    if (cnt <= m_upload.m_nLastBlock) {
        if (m_upload.request) ++m_upload.request->retries;  // our ACK did not reach the client
        return Line(FormatText("FTBlockReceived: Block retry %ld", cnt), EEventLevel::Warning);
    }
    if (cnt > m_upload.m_nLastBlock + 1) {
        m_upload.m_bUploadError = 1;
        return Line(FormatText("FTBlockReceived: Block missing rec: %ld exp: %ld", cnt,
                               m_upload.m_nLastBlock + 1),
                    EEventLevel::Error);
    }
    m_upload.m_nLastBlock = cnt;
    const std::string tmpFile = UploadTempFile();
    try {
        CFile file;
        bool open;
        if (FileExists(tmpFile)) {
            open = file.Open(tmpFile, CFile::modeWrite);
            if (open) file.SeekToEnd();
        } else {
            open = file.Open(tmpFile, CFile::modeCreate | CFile::modeWrite);
        }
        if (!open) {
            m_upload.m_bUploadError = 1;
            return Line(FormatText("FTBlockReceived: Error Open Tmp File <%s>", tmpFile.c_str()),
                        EEventLevel::Error);
        }
        file.Write(data, len);
        file.Close();
    } catch (const CFileException& e) {
        SPollEvent error = Line(e.Describe(), EEventLevel::Error);
        error.report = true;
        return error;
    }
    AdvanceTransfer(len);
    m_upload.request->bytes += len;
    m_upload.crc = m_crc.Update(m_upload.crc, data, static_cast<size_t>(len));
    PumpMessages();  // the owner's periodic work, once a block however fast they come
    return Line({}, EEventLevel::Info);
}

SPollEvent CRs232Server::UploadEnd(const std::string& readOnly) {
    EndTransfer();
    if (!m_upload.request) {
        const std::string text = !readOnly.empty()          ? readOnly
                                 : m_upload.m_bUploadError ? "FTBlockReceived: Error Block Missing!"
                                           : "FTBlockReceived: File end without file data!";
        return Line(text, EEventLevel::Error);
    }
    // The upload ends here, whatever this block comes to.
    m_request = *std::exchange(m_upload.request, std::nullopt);
    m_requestStarted = m_upload.started;
    const long last = std::exchange(m_upload.m_nLastBlock, -1);
    if (!readOnly.empty()) return Refused(readOnly);
    if (!m_upload.refusal.empty()) return Refused(std::exchange(m_upload.refusal, {}));
    if (m_upload.m_bUploadError) return Failed("FTBlockReceived: Error Block Missing!");
    if (last < 1) return Refused("FTBlockReceived: File end without file data!");

    const std::string tmpFile = UploadTempFile();
    CFileStatus fs;
    if (!GetStatus(tmpFile, fs)) return Failed("FTBlockReceived: Receiving File Status ERROR");
    if (fs.m_size64 != m_upload.m_nFileSize)
        return Failed(FormatText("FTBlockReceived: Receiving File Size ERROR %ld != %ld",
                                 static_cast<long>(fs.m_size64), m_upload.m_nFileSize));
    m_request.crc32 = m_upload.crc;

    const std::string& target = m_upload.m_strRecFile;
    const std::string name = target.substr(DirectoryOf(target).size());
    const std::string backupFile =
        m_strBackupPath + DatedFileName(EDatedFile::Backup, m_nPort, LocalNow(), name);

    // The target is checked again: what its path names may have changed since the start block.
    CDirectory dir;
    std::string refusal;
    const bool accepted = AcceptTarget(target, dir, refusal);
    if (!accepted) LogMessage(kPrefix + refusal, EEventLevel::Error);
    const bool copied =
        accepted && CopyFileInto(tmpFile, dir, name, true, [this] { PumpMessages(); });
    MakeDir(DirectoryOf(backupFile));  // a backup directory removed meanwhile is made again
    try {
        if (FileExists(backupFile)) CFile::Remove(backupFile);
        CFile::Rename(tmpFile, backupFile);
    } catch (...) {
        return Failed(FormatText("FTBlockReceived: Error Renaming %s to %s", tmpFile.c_str(),
                                 backupFile.c_str()));
    }
    m_request.backup = backupFile;
    if (!copied)
        return Failed(FormatText("Receiving and Rename (Backup) File %s OK. Copy failed !!!",
                                 target.c_str()));
    return Served(
        FormatText("Receiving and Copy and Rename (Backup) File %s OK!", target.c_str()));
}

std::string CRs232Server::UploadTempFile() const {
    return FormatText("FT_TMP%2.2d.TMP", m_nPort);
}

}  // namespace rs232
