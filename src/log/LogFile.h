// The daily log file: <dir>LOG<port>_YYYYMMDD.LOG (DatedName.h), one event line per line, CR LF, append only.
// The file is open only inside one WriteLine.
// Errors, for the whole event log: operations report failure as false and never throw; a line
// that cannot be written is lost, never the request that wrote it.
#pragma once

#include <string>

namespace rs232 {

class CLogFile {
public:
    CLogFile() = default;
    virtual ~CLogFile() = default;

    void SetLogDir(const std::string& dir) { m_strLogDir = dir; }
    // 0 until the port is known: the file is then named by the date alone.
    void SetPort(int port) { m_nPort = port; }
    const std::string& GetLogDir() const { return m_strLogDir; }

    // Name of the file that a line written now goes to.
    std::string CurrentFileName() const;

    // Appends the line and CR LF. False when the file cannot be opened; a failure after the
    // open (full disk) is also reported as false rather than thrown: a log line must never end
    // the request that wrote it. A missing log directory is made again.
    bool WriteLine(const std::string& line);

    // True when path exists as a directory afterwards; creates only the last component.
    static bool CreateDir(const std::string& path);

private:
    int m_nPort = 0;
    std::string m_strLogDir;
};

// "HH:MM:SS " for the current local time.
std::string MakeTimeStamp();

// "HH:MM:SS text" -> "text"; a line without a stamp comes back whole.
std::string WithoutTimeStamp(const std::string& line);

}  // namespace rs232
