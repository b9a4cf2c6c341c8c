#include "log/LogFile.h"

#include <cctype>

#include "platform/Clock.h"
#include "platform/DatedName.h"
#include "platform/FileOps.h"
#include "platform/TextFormat.h"
#include "wire/Wire.h"

namespace rs232 {

std::string CLogFile::CurrentFileName() const {
    return m_strLogDir + DatedFileName(EDatedFile::Log, m_nPort, LocalNow());
}

bool CLogFile::WriteLine(const std::string& line) {
    // The date is read here, apart from the caller's stamp: a line stamped just before midnight
    // may go to the next day's file. One append without a lock: a line is never split, and a
    // download of the log cannot keep a line out. A log directory removed meanwhile is made
    // again. A full disk is reported as false: it must not end the request that logged the line.
    const std::string record = line + "\r\n";
    if (AppendToFile(CurrentFileName(), record)) return true;
    return !m_strLogDir.empty() && !FileExists(m_strLogDir) && CreateDir(m_strLogDir) &&
           AppendToFile(CurrentFileName(), record);
}

bool CLogFile::CreateDir(const std::string& path) {
    CFileStatus status;
    if (GetStatus(path, status) && (status.m_attribute & wire::kAttrDirectory)) return true;
    if (path.size() > 259) return false;  // the longest directory name the program ever makes
    return MakeDir(path);
}

std::string MakeTimeStamp() {
    const CLocalTime now = LocalNow();
    return FormatText("%2.2d:%2.2d:%2.2d ", now.hour, now.minute, now.second);
}

std::string WithoutTimeStamp(const std::string& line) {
    constexpr size_t kStampLength = 9;  // "HH:MM:SS "
    if (line.size() < kStampLength) return line;
    for (size_t i = 0; i < kStampLength; ++i) {
        const char c = line[i];
        const bool ok = (i == 2 || i == 5) ? c == ':'
                        : i == 8           ? c == ' '
                                           : std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!ok) return line;
    }
    return line.substr(kStampLength);
}

}  // namespace rs232
