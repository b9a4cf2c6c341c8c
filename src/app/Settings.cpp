#include "app/Settings.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "link/TlsSettings.h"
#include "platform/FileOps.h"
#include "platform/PathSafety.h"
#include "platform/Paths.h"
#include "platform/PortState.h"
#include "platform/SettingsFile.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// The access root when the settings file names none: empty (no limit) unless the environment
// sets one. The service's unit sets its state directory there.
constexpr const char* kDefaultRootVariable = "RS232_DEFAULT_ROOT";

// Ranges of the optional numbers.
constexpr int kMaxBlockPauseMs = 5000;  // below the client's wait for the next block
constexpr int kMaxKeepDays = 36500;

// [section] key as a whole number from min to max: `absent` when the key is not there, and
// `current` (the value in force) with a warning when it holds anything else.
int64_t NumberSetting(const CIniFile& ini, const char* section, const char* key, int64_t min,
                      int64_t max, int64_t absent, int64_t current,
                      std::vector<std::string>& warnings) {
    const char* text = ini.GetValue(section, key, nullptr);
    if (!text) return absent;
    if (const auto value = ReadNumber(text, min, max)) return *value;
    warnings.push_back(FormatText("Setting [%s] %s=%s ignored: %s", section, key, text,
                                  NumberRangeText(min, max).c_str()));
    return current;
}

bool IsDirectory(const std::string& path) {
    CFileStatus status;
    return GetStatus(path, status) && (status.m_attribute & wire::kAttrDirectory) != 0;
}

// Optional keys, off by default so that a plain settings file keeps the designed behaviour. A
// value that cannot be taken leaves the one in force; a root that names no directory stops a
// start, as serving without it would reach what it was to keep out.
void ReadOptional(const CIniFile& ini, bool atStart, SOptionalSettings& s, SSettingsRead& read) {
    auto& warnings = read.warnings;
    const char* rootKey = ini.GetValue("ACCESS", "ROOT", nullptr);
    const char* defaultRoot = std::getenv(kDefaultRootVariable);
    const std::string root = rootKey ? rootKey : defaultRoot ? defaultRoot : "";
    if ((rootKey || !root.empty()) && !IsDirectory(root)) {
        const std::string setting =
            (rootKey ? std::string("[ACCESS] ROOT") : kDefaultRootVariable) + "=" + root;
        if (atStart)
            read.error = "Setting " + setting + " cannot be used: not a directory";
        else
            warnings.push_back("Setting " + setting + " ignored: not a directory");
    } else {
        s.access.root = root.empty() ? root : CanonicalPath(root);
    }
    s.access.readOnly = NumberSetting(ini, "ACCESS", "READONLY", 0, 1, 0, s.access.readOnly, warnings);

    // [DRIVES] and [PATHS] IGNORECASE, for clients written against drive letters and a file
    // system that ignores case.
    s.paths.drives = ReadDriveMap(ini);
    // [DRIVES] DEFAULT=<letter>: the drive of a rooted path without a letter (else C).
    const char* drive = ini.GetValue("DRIVES", "DEFAULT", nullptr);
    const auto letter = static_cast<unsigned char>(drive ? drive[0] : 0);
    if (!drive)
        s.paths.defaultDrive = 0;
    else if (std::isalpha(letter) && !drive[1])
        s.paths.defaultDrive = static_cast<char>(std::toupper(letter));
    else
        warnings.push_back(
            FormatText("Setting [DRIVES] DEFAULT=%s ignored: not a drive letter", drive));
    s.paths.ignoreCase =
        NumberSetting(ini, "PATHS", "IGNORECASE", 0, 1, 0, s.paths.ignoreCase, warnings);

    // The pause before each download content block; a key taken out restores the default.
    s.blockPause = std::chrono::milliseconds(NumberSetting(ini, "COMPORT", "BLOCKPAUSE", 0,
                                                           kMaxBlockPauseMs, wire::kBlockPause.count(),
                                                           s.blockPause.count(), warnings));
    s.keepLogDays = static_cast<int>(
        NumberSetting(ini, "LOG", "KEEPDAYS", 0, kMaxKeepDays, 0, s.keepLogDays, warnings));
    s.keepBackupDays = static_cast<int>(
        NumberSetting(ini, "BACKUP", "KEEPDAYS", 0, kMaxKeepDays, 0, s.keepBackupDays, warnings));
    s.audit = NumberSetting(ini, "LOG", "AUDIT", 0, 1, 0, s.audit, warnings) != 0;
    s.tls = ReadTlsSettings(ini);
}

}  // namespace

SSettingsRead ReadSettingsFile(const std::string& path, bool atStart, SSettings& settings) {
    SSettingsRead read;
    if (atStart) {
        const char* dir = std::getenv(kStatusDirVariable);
        settings.statusDir = dir ? dir : "";
    }
    std::error_code ec;  // a dangling link is there, and unreadable
    if (atStart && !std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        read.file = SSettingsRead::EFile::Missing;
        settings.baudRate = SSettings::kDefaultBaudRate;
        ReadOptional(CIniFile(), true, settings.optional, read);  // the default root is checked
        return read;
    }
    CIniFile ini;
    std::string why;
    if (!LoadSettingsFile(path, ini, why)) {
        // A file gone, unreadable or garbled says nothing: what is in force stays.
        read.file = SSettingsRead::EFile::Unreadable;
        if (atStart)
            read.error = FormatText("Settings file %s cannot be read: %s", path.c_str(), why.c_str());
        else
            read.warnings.push_back(FormatText("Settings file %s ignored: %s; the settings in force stay",
                                               path.c_str(), why.c_str()));
        return read;
    }
    if (atStart) {
        const char* value = ini.GetValue("COMPORT", "BAUDRATE", nullptr);
        settings.baudRate = value ? ProfileInt(value) : SSettings::kDefaultBaudRate;
        settings.devices = ReadDeviceMap(ini);
        settings.statusDir = ini.GetValue("STATUS", "DIR", settings.statusDir.c_str());
    }
    ReadOptional(ini, atStart, settings.optional, read);
    return read;
}

void WriteBaudRate(const std::string& path, int32_t baudRate) {
    CIniFile ini;
    ini.SetSpaces(false);
    if (FileExists(path)) ini.LoadFile(path.c_str());
    ini.SetValue("COMPORT", "BAUDRATE", FormatText("%ld", static_cast<long>(baudRate)).c_str());
    ini.SaveFile(path.c_str());
}

std::vector<std::string> DescribeSettings(const SOptionalSettings& s, const std::string& auditFile) {
    std::vector<std::string> lines;
    if (!s.access.root.empty()) lines.push_back("Access root is: " + s.access.root);
    if (s.access.readOnly) lines.push_back("Read-only: FT, DF, CF and DL are refused");
    const auto native = NativeDrives();  // the platform's own drives need no line
    for (const auto& [letter, directory] : s.paths.drives)
        if (!native.contains(letter) || native.at(letter) != directory)
            lines.push_back(FormatText("Drive %c: is %s", letter, directory.c_str()));
    if (s.paths.defaultDrive) lines.push_back(FormatText("Default drive is: %c:", s.paths.defaultDrive));
    if (s.paths.ignoreCase) lines.push_back("Letter case of request paths: ignored");
    if (s.blockPause != wire::kBlockPause)
        lines.push_back(FormatText("Block pause is: %ld ms", static_cast<long>(s.blockPause.count())));
    if (s.keepLogDays > 0) lines.push_back(FormatText("Log files kept for %d days", s.keepLogDays));
    if (s.audit) lines.push_back("Audit records go to " + auditFile);
    if (s.keepBackupDays > 0)
        lines.push_back(FormatText("Backup files kept for %d days", s.keepBackupDays));
    return lines;
}

}  // namespace rs232
