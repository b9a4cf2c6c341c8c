#include "Client.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <ctime>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "wire/Wire.h"

namespace rs232::client {

namespace {

CClientError Failure(const std::string& what) {
    return CClientError(CClientError::Kind::Failure, what);
}

void CheckPath(const std::string& path, size_t limit, const char* what) {
    if (path.size() > limit)
        throw std::invalid_argument(std::string(what) + " longer than " + std::to_string(limit) +
                                    " bytes: " + path);
    if (path.find('\0') != std::string::npos)
        throw std::invalid_argument(std::string(what) + " holds a NUL byte");
}

// Digits of a "%ld" field; false when anything else is there.
bool ParseLong(const std::string& text, long& value) {
    if (text.empty()) return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    value = std::strtol(text.c_str(), nullptr, 10);
    return errno == 0;
}

using SinkFn = std::function<void(const uint8_t*, size_t)>;

// RF exchange: header, content blocks in order, end block. Returns the byte count, which has
// been checked against the header.
long Receive(CClientLink& link, const std::string& remote, const SinkFn& sink,
             const ProgressFn& progress) {
    CheckPath(remote, kMaxShortPath, "remote path");
    link.Connect();
    link.SendBlock("RF", 0, remote, true);
    SBlock header = link.ReceiveBlock("SF", std::nullopt);
    if (header.cnt == -2) throw Failure(remote + ": " + header.Text());
    const std::string text = header.Text();
    const size_t semi = text.rfind(';');
    long total = 0;
    if (header.cnt != 0 || semi == std::string::npos || !ParseLong(text.substr(semi + 1), total) ||
        total < 0) {
        link.SendEot();
        throw Failure("unexpected download header from the server: " + text);
    }
    long received = 0;
    long last = 0;
    if (progress) progress(0, total);
    for (;;) {
        SBlock block = link.ReceiveBlock("SF", last);
        if (block.cnt == -1) break;
        if (block.cnt != last + 1 ||
            received + static_cast<long>(block.data.size()) > total) {
            // A block out of turn or beyond the announced size: one of our answers was garbled
            // on the way, a failure on the line.
            link.SendEot();
            throw CClientError(CClientError::Kind::NoAnswer,
                               "download of " + remote + " broke off: block " +
                                   std::to_string(block.cnt) + " after block " +
                                   std::to_string(last) + ", " +
                                   std::to_string(received + block.data.size()) + " of " +
                                   std::to_string(total) + " bytes");
        }
        sink(block.data.data(), block.data.size());
        received += static_cast<long>(block.data.size());
        last = block.cnt;
        if (progress) progress(received, total);
    }
    if (received != total)
        throw Failure("download of " + remote + " ended after " + std::to_string(received) +
                      " of " + std::to_string(total) + " bytes");
    return received;
}

}  // namespace

long CClient::ServerTime() {
    m_link.Connect();
    m_link.SendBlock("DR", 0, std::string(), true);
    SBlock reply = m_link.ReceiveBlock("DT", std::nullopt);
    long value = 0;
    if (reply.cnt != 0 || !ParseLong(reply.Text(), value))
        throw Failure("unexpected date reply from the server: " + reply.Text());
    return value;
}

SRemoteInfo CClient::Info(const std::string& remote) {
    CheckPath(remote, kMaxShortPath, "remote path");
    m_link.Connect();
    m_link.SendBlock("IR", 0, remote, true);
    SBlock reply = m_link.ReceiveBlock("FI", std::nullopt);
    SRemoteInfo info;
    if (reply.cnt == -1) return info;
    // size;time;A where A is one raw attribute byte (0x00 included, and it may be ';').
    const std::string text = reply.Text();
    const size_t s1 = text.find(';');
    const size_t s2 = s1 == std::string::npos ? s1 : text.find(';', s1 + 1);
    if (reply.cnt != 0 || s2 == std::string::npos || !ParseLong(text.substr(0, s1), info.size) ||
        !ParseLong(text.substr(s1 + 1, s2 - s1 - 1), info.mtime))
        throw Failure("unexpected file information from the server: " + text);
    info.attributes = s2 + 1 < text.size() ? static_cast<uint8_t>(text[s2 + 1]) : 0;
    info.found = true;
    return info;
}

long CClient::Get(const std::string& remote, const std::string& local,
                  const ProgressFn& progress, bool replace) {
    CheckPath(remote, kMaxShortPath, "remote path");
    if (!replace && FileExists(local)) throw Failure(local + " exists; get --force replaces it");
    // Written under a temporary name beside it, which takes the name only when complete.
    const std::string where = DirectoryOf(local);
    CDirectory dir;
    CNewFile file(dir, local.substr(where.size()));
    if (!dir.Open(where) || !file.Create(replace))
        throw Failure(errno == EEXIST ? local + " exists; get --force replaces it"
                                      : "cannot create " + local + ": " + std::strerror(errno));
    const long n = Receive(
        m_link, remote,
        [&](const uint8_t* p, size_t len) {
            try {
                file.Write(p, static_cast<int>(len));
            } catch (const CFileException& e) {
                m_link.SendEot();
                throw Failure("cannot write " + local + ": " + std::strerror(e.Error()));
            }
        },
        progress);
    if (!file.Commit(replace))
        throw Failure(errno == EEXIST
                          ? local + " appeared during the download; get --force replaces it"
                          : "cannot write " + local + ": " + std::strerror(errno));
    return n;
}

long CClient::Put(const std::string& local, const std::string& remote,
                  const ProgressFn& progress) {
    CheckPath(remote, kMaxShortPath, "remote path");
    if (remote.find(';') != std::string::npos)
        throw std::invalid_argument("remote path holds ';', which the upload start cannot carry");
    CFileStatus st;
    if (!GetStatus(local, st))
        throw Failure("cannot read " + local + ": " + std::strerror(errno));
    if (st.m_attribute & wire::kAttrDirectory || !(st.m_attribute & wire::kAttrArchive))
        throw Failure("cannot read " + local + ": not a regular file");
    errno = 0;
    std::ifstream in(local, std::ios::binary);
    if (!in)
        throw Failure("cannot read " + local + ": " + std::strerror(errno ? errno : EACCES));
    if (st.m_size64 > LONG_MAX || st.m_size64 > INT32_MAX)
        throw std::invalid_argument(local + " is too large for the upload size field");
    const long size = static_cast<long>(st.m_size64);

    const long started = ServerTime();
    m_link.Connect();
    m_link.SendBlock("FT", 0, remote + ";" + std::to_string(size));
    long sent = 0;
    long cnt = 0;
    if (progress) progress(0, size);
    char chunk[kUploadChunk];
    // The server finishes only an upload that had a data block: an empty file goes as one
    // data block without data.
    do {
        in.read(chunk, std::min<long>(kUploadChunk, size - sent));
        const auto got = static_cast<int>(in.gcount());
        if (got <= 0 && size > 0) break;  // the file shrank: the size check below reports it
        m_link.SendBlock("FT", ++cnt, chunk, got);
        sent += got;
        if (progress) progress(sent, size);
    } while (sent < size);
    m_link.SendBlock("FT", -1, std::string());

    const SRemoteInfo info = Info(remote);
    if (!info.found)
        throw Failure("the server did not store " + remote + "; see its event log");
    // The stored file is at least as new as the upload: an older file of equal size is a
    // leftover, not ours.
    if (info.size != size || info.mtime < started - 2)
        throw Failure("the server did not store " + remote + " (it holds " +
                      std::to_string(info.size) + " bytes from " + FormatTime(info.mtime) +
                      ", sent " + std::to_string(size) + "); see its event log");
    return size;
}

void CClient::Remove(const std::string& remote) {
    CheckPath(remote, kMaxLongPath, "remote path");
    if (remote.size() <= kMaxShortPath && !Info(remote).found)
        throw Failure(remote + ": not found");
    m_link.Connect();
    m_link.SendBlock("DF", 0, remote);
    if (remote.size() <= kMaxShortPath && Info(remote).found)
        throw Failure("the server did not remove " + remote + "; see its event log");
}

void CClient::Copy(const std::string& source, const std::string& destination) {
    CheckPath(source, kMaxShortPath, "source path");
    CheckPath(destination, kMaxShortPath, "destination path");
    if (destination.find('\n') != std::string::npos || destination.empty())
        throw std::invalid_argument("destination path is empty or holds a line feed");
    const SRemoteInfo src = Info(source);
    if (!src.found) throw Failure(source + ": not found");
    const long started = ServerTime();
    m_link.Connect();
    m_link.SendBlock("CF", 0, destination + "\n" + source);
    const SRemoteInfo dst = Info(destination);
    // The copy keeps the source's time; a copy that did not is still newer than the request.
    if (!dst.found || dst.size != src.size ||
        (dst.mtime != src.mtime && dst.mtime < started - 2))
        throw Failure("the server did not copy " + source + " to " + destination +
                      "; see its event log");
}

std::string CClient::List(const std::string& directory, const std::string& listFile) {
    std::string dir = directory;
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
    CheckPath(dir, kMaxLongPath, "directory path");
    CheckPath(listFile, kMaxShortPath, "list file path");
    if (listFile.empty() || listFile.find('\n') != std::string::npos)
        throw std::invalid_argument("list file path is empty or holds a line feed");
    m_link.Connect();
    m_link.SendBlock("DL", 0, listFile + "\n" + dir);
    std::string list;
    try {
        Receive(
            m_link, listFile,
            [&](const uint8_t* p, size_t n) { list.append(reinterpret_cast<const char*>(p), n); },
            {});
    } catch (const CClientError& e) {
        if (e.GetKind() == CClientError::Kind::Failure)
            throw Failure("the server wrote no listing of " +
                          (dir.empty() ? std::string("its base directory") : dir) +
                          " (not found or not readable)");
        throw;
    }
    try {
        m_link.Connect();
        m_link.SendBlock("DF", 0, listFile);
    } catch (const CClientError&) {
        // The listing is here; a leftover list file on the server is harmless.
    }
    return list;
}

int WithRetries(CClientLink& link, int retries, const std::function<void()>& request,
                const std::function<void(const CClientError&, int)>& onRetry) {
    for (int tries = 1;; ++tries) {
        try {
            request();
            return tries;
        } catch (const CClientError& e) {
            if (e.GetKind() != CClientError::Kind::NoAnswer) throw;
            if (tries > retries) {
                if (tries == 1) throw;
                throw CClientError(e.GetKind(), std::string(e.what()) + " (gave up after " +
                                                    std::to_string(tries) + " tries)");
            }
            if (onRetry) onRetry(e, tries + 1);
            link.Settle();
        }
    }
}

bool ParseListLine(const std::string& line, SListEntry& entry) {
    const size_t a = line.rfind(';');
    if (a == std::string::npos || a == 0) return false;
    const size_t t = line.rfind(';', a - 1);
    if (t == std::string::npos || t == 0) return false;
    const size_t s = line.rfind(';', t - 1);
    if (s == std::string::npos) return false;
    entry.name = line.substr(0, s);
    const std::string attr = line.substr(a + 1);
    if (attr.empty() || attr.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
        return false;
    entry.attributes = static_cast<unsigned>(std::stoul(attr, nullptr, 16));
    return ParseLong(line.substr(s + 1, t - s - 1), entry.size) &&
           ParseLong(line.substr(t + 1, a - t - 1), entry.mtime);
}

std::string AttributeWords(unsigned attributes) {
    static const std::pair<unsigned, const char*> names[] = {
        {wire::kAttrDirectory, "directory"}, {wire::kAttrArchive, "file (archive)"},
        {wire::kAttrReadOnly, "read-only"},  {wire::kAttrHidden, "hidden"},
        {wire::kAttrSystem, "system"},       {wire::kAttrVolume, "volume label"},
    };
    std::string out;
    for (const auto& [bit, name] : names)
        if (attributes & bit) out += (out.empty() ? "" : ", ") + std::string(name);
    return out.empty() ? "none" : out;
}

std::string AttributeLetters(unsigned attributes) {
    std::string out = "-----";
    if (attributes & wire::kAttrDirectory) out[0] = 'd';
    if (attributes & wire::kAttrReadOnly) out[1] = 'r';
    if (attributes & wire::kAttrHidden) out[2] = 'h';
    if (attributes & wire::kAttrSystem) out[3] = 's';
    if (attributes & wire::kAttrArchive) out[4] = 'a';
    return out;
}

std::string FormatTime(long seconds, bool utc) {
    const time_t t = static_cast<time_t>(seconds);
    // One thread: the shared result of gmtime/localtime is read at once.
    const tm* parts = utc ? std::gmtime(&t) : std::localtime(&t);
    if (!parts) return std::to_string(seconds);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", parts);
    return buf;
}

}  // namespace rs232::client
