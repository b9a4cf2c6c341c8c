#include "server/Retention.h"

#include <ctime>
#include <vector>

#include "platform/DirSearch.h"
#include "platform/FileOps.h"
#include "wire/Wire.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long DayNumber(int year, int month, int day) {
    year -= month <= 2;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yearOfEra = year - era * 400;
    const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    return era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
}

// The start of the local day `days` after t's, in CurrentTime() seconds.
int64_t DayStart(const CLocalTime& t, int days) {
    struct tm parts {};
    parts.tm_year = t.year - 1900;
    parts.tm_mon = t.month - 1;
    parts.tm_mday = t.day + days;
    parts.tm_isdst = -1;
    return static_cast<int64_t>(::mktime(&parts));
}

}  // namespace

bool IsExpired(const std::string& name, EDatedFile kind, int port, int keepDays,
               const CLocalTime& today) {
    if (keepDays <= 0) return false;
    const std::optional<CLocalTime> date = DateOfDatedFile(name, kind, port);
    return date && DayNumber(today.year, today.month, today.day) -
                           DayNumber(date->year, date->month, date->day) >
                       keepDays;
}

int RemoveExpired(const std::string& dir, EDatedFile kind, int port, int keepDays,
                  const CLocalTime& today) {
    if (keepDays <= 0) return 0;
    std::vector<std::string> expired;
    CDirSearch search;
    CFindData entry;
    for (bool more = search.FindFirst(dir, entry); more; more = search.FindNext(entry))
        if (!(entry.attrib & wire::kAttrDirectory) && IsExpired(entry.name, kind, port, keepDays, today))
            expired.push_back(entry.name);
    search.Close();
    int removed = 0;
    for (const std::string& name : expired) {
        try {
            CFile::Remove(dir + name);
            ++removed;
        } catch (const CFileException&) {
        }
    }
    return removed;
}

std::vector<std::string> CRetention::Apply(const std::string& basePath, int port) {
    const int64_t now = CurrentTime();
    const CLocalTime today = LocalTime(now);
    // The next check comes when the date changes, either way.
    m_day[0] = DayStart(today, 0);
    m_day[1] = DayStart(today, 1);
    if (m_day[1] <= now) m_day[1] = now + 3600;  // no local calendar
    struct SKind {
        EDatedFile kind;
        int days;
        const char* dir;
        const char* what;
    };
    std::vector<std::string> lines;
    for (const SKind& k : {SKind{EDatedFile::Log, m_nKeepLogDays, "LOG/", "log"},
                           SKind{EDatedFile::Audit, m_nKeepLogDays, "LOG/", "audit"},
                           SKind{EDatedFile::Backup, m_nKeepBackupDays, "BAK/", "backup"}}) {
        const int removed = RemoveExpired(basePath + k.dir, k.kind, port, k.days, today);
        if (removed > 0)
            lines.push_back(
                FormatText("Removed %d %s files older than %d days", removed, k.what, k.days));
    }
    return lines;
}

}  // namespace rs232
