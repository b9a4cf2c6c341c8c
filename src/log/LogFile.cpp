#include "log/LogFile.h"

#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/TextFormat.h"

namespace rs232 {

std::string CLogFile::CurrentFileName() const {
    const CLocalTime now = LocalNow();
    return m_strLogDir + m_strPrefix +
           FormatText("%4.4d%2.2d%2.2d.LOG", now.year, now.month, now.day);
}

bool CLogFile::WriteLine(const std::string& line) {
    // The date is read here, apart from the caller's stamp: a line stamped just before midnight
    // may go to the next day's file.
    const std::string name = CurrentFileName();
    CFileStatus status;
    const unsigned flags = GetStatus(name, status) ? CFile::modeWrite
                                                   : CFile::modeCreate | CFile::modeWrite;
    CFile file;
    if (!file.Open(name, flags)) return false;
    try {
        file.SeekToEnd();
        const std::string record = line + "\r\n";  // one write: a line is never split
        file.Write(record.data(), static_cast<int>(record.size()));
        file.Close();
    } catch (const CFileException&) {
        return false;  // a full disk must not end the request that logged the line
    }
    return true;
}

bool CLogFile::CreateDir(const std::string& path) {
    CFileStatus status;
    if (GetStatus(path, status) && (status.m_attribute & kAttrDirectory)) return true;
    if (path.size() > 259) return false;  // the longest directory name the program ever makes
    return MakeDir(path);
}

std::string MakeTimeStamp() {
    const CLocalTime now = LocalNow();
    return FormatText("%2.2d:%2.2d:%2.2d ", now.hour, now.minute, now.second);
}

}  // namespace rs232
