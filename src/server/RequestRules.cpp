// Rules every request handler shares: how a request path becomes a Linux path, the access
// checks, the CNT check, the request text, the two-path split and the sending of a reply block.
#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/NameLookup.h"
#include "platform/PathSafety.h"
#include "platform/TextFormat.h"
#include "server/Rs232Server.h"

namespace rs232 {

int CRs232Server::IsAbsolutePath(const std::string& path) {
    if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return 1;
    if (path.size() >= 2 && path[1] == ':') return 1;
    return 0;
}

bool CRs232Server::ResolvePath(const std::string& requestPath, std::string& resolved,
                               std::string& status) const {
    if (const std::string why = UnsafeNameReason(requestPath); !why.empty()) {
        status = FormatText("Access to %s refused: %s", requestPath.c_str(), why.c_str());
        return false;
    }
    std::string path = requestPath;
    for (char& c : path)
        if (c == '\\') c = '/';
    // The fixed part comes from the operator and is taken as written; the rest is the client's.
    std::string start, rest;
    char letter = 0;
    if (!IsAbsolutePath(requestPath)) {
        start = m_strBasePath;
        rest = path;
    } else if (path[0] == '/' && m_paths.drives.empty()) {
        start = "/";
        rest = path.substr(1);
    } else if (path[0] == '/') {
        if (path.starts_with("//")) {
            status = FormatText("Access to %s refused: UNC paths (\\\\host\\share) are not served",
                                requestPath.c_str());
            return false;
        }
        // Rooted without a letter: on the default drive, as on the PC.
        letter = m_paths.defaultDrive ? m_paths.defaultDrive : 'C';
        rest = path.substr(1);
    } else {
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        rest = path.substr(path.size() > 2 && path[2] == '/' ? 3 : 2);
        // Without [DRIVES] a drive letter names no place on this machine: the rest is taken
        // from the root.
        if (m_paths.drives.empty()) letter = 0, start = "/";
    }
    if (letter) {
        const auto drive = m_paths.drives.find(letter);
        if (drive == m_paths.drives.end()) {
            status = FormatText("Access to %s refused: drive %c: is not listed in [DRIVES]",
                                requestPath.c_str(), letter);
            return false;
        }
        start = drive->second;
        if (!start.ends_with('/')) start += '/';
        // A drive's directory is its root: ".." there stays there.
        const std::string last = rest.substr(rest.rfind('/') + 1);
        const bool isDirectory = last.empty() || last == "." || last == "..";
        rest = NormalPath("/" + rest).substr(1);
        if (isDirectory && !rest.empty()) rest += '/';
    }
    std::string name, directory;
    if (!m_paths.ignoreCase) {
        resolved = start + rest;
    } else if (!ResolveIgnoringCase(start, rest, resolved, name, directory)) {
        status = FormatText("Requested name %s is ambiguous in %s: several entries match it "
                            "ignoring case", name.c_str(), directory.c_str());
        return false;
    }
    // Where the path really leads, links followed, stays on the drive too.
    if (letter && !InsideDirectory(CanonicalPath(resolved), CanonicalPath(start))) {
        status = FormatText("Access to %s refused: outside drive %c: (%s)", resolved.c_str(),
                            letter, start.c_str());
        return false;
    }
    return true;
}

void CRs232Server::SetAccessLimits(const SAccessLimits& limits) {
    m_access = limits;
    if (!m_access.root.empty()) m_access.root = CanonicalPath(m_access.root);
}

bool CRs232Server::InsideDirectory(const std::string& canonical, const std::string& root) {
    return root == "/" || canonical == root || canonical.starts_with(root + "/");
}

bool CRs232Server::InsideRoot(const std::string& canonical) const {
    return m_access.root.empty() || InsideDirectory(canonical, m_access.root);
}

bool CRs232Server::AcceptPath(const std::string& resolved, std::string& status) const {
    if (InsideRoot(CanonicalPath(resolved))) return true;
    status = FormatText("Access to %s refused: outside %s", resolved.c_str(), m_access.root.c_str());
    return false;
}

void CRs232Server::NoteRequestFile(const std::string& requestPath) {
    std::string unused;
    if (!ResolvePath(requestPath, m_request.file, unused)) m_request.file = requestPath;
}

bool CRs232Server::ResolveRequestPath(const std::string& requestPath, std::string& resolved,
                                      std::string& status) {
    if (!ResolvePath(requestPath, resolved, status)) return false;
    m_request.file = resolved;
    return AcceptPath(resolved, status);
}

bool CRs232Server::AcceptTarget(const std::string& resolved, CDirectory& dir,
                                std::string& status) {
    if (!AcceptPath(resolved, status)) return false;
    if (!dir.Open(DirectoryOf(resolved))) return true;  // the write that follows fails and says so
    // Checked where the directory really is now: a name swapped for a link after the check
    // above cannot lead the write elsewhere, as the write goes through this descriptor.
    const std::string real = dir.RealPath();
    if (!InsideRoot(real)) {
        status = FormatText("Access to %s refused: outside %s", resolved.c_str(),
                            m_access.root.c_str());
        return false;
    }
    if (!real.empty() && real.find('\n') == std::string::npos && m_tempDirs.insert(real).second)
        AppendToFile(TempDirJournal(), real + "\n");
    return true;
}

std::string CRs232Server::TempDirJournal() const {
    return FormatText("TMPDIRS%2.2d.TMP", m_nPort);
}

void CRs232Server::RemoveLeftoverTemps() {
    std::ifstream journal(TempDirJournal());
    for (std::string dir; std::getline(journal, dir);)
        if (const int n = RemoveLeftoverTempFiles(dir))
            LogMessage(FormatText("%d leftover temp file(s) removed in %s", n, dir.c_str()));
    journal.close();
    std::remove(TempDirJournal().c_str());
    m_tempDirs.clear();
}

bool CRs232Server::AcceptChange(const char* type, std::string& status) const {
    if (!m_access.readOnly) return true;
    status = FormatText("Error: %s Block refused, the server is read-only", type);
    return false;
}

bool CRs232Server::AcceptOnlyCntZero(long cnt, const char* type, std::string& status) {
    if (cnt == 0) return true;
    status = FormatText("Error: %s Block only with CNT 0 allowed", type);
    return false;
}

std::string CRs232Server::RequestText(const uint8_t* data, int len) {
    if (data == nullptr || len <= 0) return {};
    const auto* begin = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(begin, 0, static_cast<size_t>(len));
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - begin)
                         : static_cast<size_t>(len);
    return std::string(begin, n);
}

bool CRs232Server::SplitTwoPaths(const char* type, const uint8_t* data, int len,
                                 std::string& first, std::string& second, std::string& status) {
    const void* lf = data && len > 0 ? std::memchr(data, '\n', static_cast<size_t>(len)) : nullptr;
    const int i = lf ? static_cast<int>(static_cast<const uint8_t*>(lf) - data) : 0;
    if (i == 0) {
        status = FormatText("Error: %s Block Data not separated", type);
        return false;
    }
    // The lengths count the raw parts, before a NUL cuts them.
    const size_t longest = std::max<size_t>(static_cast<size_t>(i), static_cast<size_t>(len - i - 1));
    if (longest > static_cast<size_t>(kMaxPathPart)) {
        status = FormatText("Error: %s Block path length %zu refused (at most %d bytes)", type,
                            longest, kMaxPathPart);
        return false;
    }
    first = RequestText(data, i);
    second = RequestText(data + i + 1, len - i - 1);
    return true;
}

bool CRs232Server::AcceptTwoPathRequest(const char* type, long cnt, const uint8_t* data, int len,
                                        std::string& first, std::string& second,
                                        std::string& status) const {
    if (!AcceptOnlyCntZero(cnt, type, status) || !AcceptChange(type, status)) return false;
    if (!SplitTwoPaths(type, data, len, first, second, status)) return false;
    const std::string firstRequest = first, secondRequest = second;
    return ResolvePath(firstRequest, first, status) && ResolvePath(secondRequest, second, status);
}

int CRs232Server::SendReplyBlock(const char* type, long cnt, const void* data, int len) {
    const std::vector<uint8_t> block = rs232::BuildBlock(m_crc, type, cnt, data, len);
    return SendBlockRetry(block.data(), static_cast<int>(block.size()));
}

}  // namespace rs232
