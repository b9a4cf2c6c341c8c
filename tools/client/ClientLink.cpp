#include "ClientLink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/Block.h"

namespace rs232::client {

namespace {

std::string BlockName(const char* type, long cnt) {
    return std::string(type, 2) + " block " + std::to_string(cnt);
}

CClientError NoAnswer(const std::string& what) {
    return CClientError(CClientError::Kind::NoAnswer, what);
}

// Write results below zero are the system's error numbers, negated.
std::string WriteFailure(int result) {
    return result < 0 ? std::string(": ") + std::strerror(-result)
                      : ": the line took only part of it";
}

std::string ByteName(uint8_t b) {
    switch (b) {
        case STX: return "STX";
        case EOT: return "EOT";
        case ENQ: return "ENQ";
        case ACK: return "ACK";
        case NAK: return "NAK";
        case SYN: return "SYN";
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", b);
            return hex;
        }
    }
}

}  // namespace

CClientLink::CClientLink(CSerialPort& port, int baud, SClientLimits limits)
    : m_port(port), m_baud(baud > 0 ? baud : 115200), m_limits(limits) {
    m_crc.BuildTable();
}

Ms CClientLink::TransmitTime(int bytes) const {
    return Ms(static_cast<int64_t>(bytes) * 10'000 / m_baud + 1);
}

Ms CClientLink::BlockWait() const {
    return (m_limits.serverAnswerWait + TransmitTime(kMaxReplyData + kBlockOverhead)) *
               m_limits.maxTimeouts + m_limits.slack;
}

void CClientLink::Trace(const char* direction, const std::string& what) const {
    if (m_trace) m_trace(std::string(direction) + " " + what);
}

// Request and answer texts (CNT 0 and below) are shown, content blocks only by their length.
void CClientLink::TraceBlock(const char* direction, const std::string& type, long cnt,
                             const uint8_t* data, int len) const {
    if (!m_trace) return;
    std::string what = type + " " + std::to_string(cnt);
    if (cnt > 0 || len > 80) {
        what += " (" + std::to_string(len) + " bytes)";
    } else {
        what += " \"";
        for (int i = 0; i < len; ++i) {
            const uint8_t c = data[i];
            what += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                    : c == '\n'           ? std::string("\\n")
                                           : "<" + ByteName(c) + ">";
        }
        what += "\"";
    }
    Trace(direction, what);
}

int CClientLink::ReadByte(Clock::time_point deadline) {
    if (m_inPos < m_in.size()) return m_in[m_inPos++];
    m_in.clear();
    m_inPos = 0;
    for (;;) {
        if (m_cancel && m_cancel->load()) {
            // Whatever the server is sending, it stops at once instead of repeating for 9 s.
            m_cancel = nullptr;
            WriteByte(EOT);
            throw CClientError(CClientError::Kind::Interrupted, "interrupted");
        }
        int queued = m_port.WaitForInQueue(1, std::min(deadline, Clock::now() + kCancelCheck));
        if (queued < 0) throw NoAnswer("the serial port failed while reading");
        if (queued > 0) {
            uint8_t buf[1024];
            int n = m_port.Read(buf, static_cast<int>(std::min<size_t>(sizeof buf, queued)));
            if (n > 0) {
                m_in.assign(buf, buf + n);
                return m_in[m_inPos++];
            }
        }
        if (Clock::now() >= deadline) return -1;
    }
}

bool CClientLink::ReadExact(uint8_t* out, int n, Clock::time_point deadline) {
    for (int i = 0; i < n; ++i) {
        int b = ReadByte(deadline);
        if (b < 0) return false;
        out[i] = static_cast<uint8_t>(b);
    }
    return true;
}

void CClientLink::WriteByte(uint8_t b) {
    Trace(">", ByteName(b));
    const int written = m_port.Write(&b, 1);
    if (written != 1) throw NoAnswer("writing to the serial port failed" + WriteFailure(written));
}

void CClientLink::Purge() {
    m_in.clear();
    m_inPos = 0;
    m_pendingStx = false;
    m_port.PurgeInput();
}

void CClientLink::DrainUntilQuiet() {
    // Let the rest of a damaged block arrive so the NAK is not taken for part of it; bounded so
    // a babbling line cannot hold us.
    const auto limit = Clock::now() + m_limits.serverAnswerWait / 2;
    while (Clock::now() < limit) {
        if (ReadByte(std::min(limit, Clock::now() + m_limits.quiet)) < 0) break;
    }
    Purge();
}

void CClientLink::Connect() {
    Purge();
    for (int attempt = 0; attempt < m_limits.enqTries; ++attempt) {
        WriteByte(ENQ);
        const auto deadline = Clock::now() + m_limits.synWait;
        int b;
        // Anything else (a block the server repeats for an earlier client, noise) is skipped.
        while ((b = ReadByte(deadline)) >= 0)
            if (b == SYN) {
                Trace("<", "SYN");
                return;
            }
    }
    throw NoAnswer("no answer to ENQ from " + m_port.DeviceName(m_port.GetPortNumber()) +
                   " (is the server running at this baud rate?)");
}

void CClientLink::SendBlock(const char* type, long cnt, const void* data, int len,
                            bool replyFollows) {
    const Bytes frame = BuildBlock(m_crc, type, cnt, data, len);
    const int size = static_cast<int>(frame.size());
    const Ms answerWait = TransmitTime(size) + m_limits.serverRestWait + m_limits.slack;
    int naks = 0, timeouts = 0;
    m_pendingStx = false;
    for (;;) {
        TraceBlock(">", std::string(type, 2), cnt, static_cast<const uint8_t*>(data), len);
        const int written = m_port.Write(frame.data(), size);
        if (written != size)
            throw NoAnswer("writing " + BlockName(type, cnt) + " to the serial port failed" +
                           WriteFailure(written));
        const auto deadline = Clock::now() + answerWait;
        bool resend = false;
        while (!resend) {
            const int b = ReadByte(deadline);
            if (b < 0) {
                Trace("<", "(no answer)");
                if (++timeouts >= m_limits.maxTimeouts)
                    throw NoAnswer("no answer from the server to " + BlockName(type, cnt));
                resend = true;
            } else if (b == ACK) {
                Trace("<", "ACK");
                return;
            } else if (b == NAK) {
                Trace("<", "NAK");
                if (++naks >= m_limits.maxNaks)
                    throw NoAnswer("the server refused " + BlockName(type, cnt) +
                                   " as damaged " + std::to_string(naks) + " times");
                resend = true;
            } else if (b == STX && replyFollows) {
                Trace("<", "STX (taken as ACK)");
                m_pendingStx = true;
                return;
            }
            // Any other byte is noise (a late SYN, a garbled answer): keep waiting.
        }
    }
}

SBlock CClientLink::ReceiveBlock(const char* type, std::optional<long> repeatOf) {
    const Ms blockWait = BlockWait();
    int naks = 0;
    auto deadline = Clock::now() + blockWait;
    for (;;) {
        if (!m_pendingStx) {
            int b;
            while ((b = ReadByte(deadline)) >= 0 && b != STX) {
            }
            if (b < 0)
                throw NoAnswer("no " + std::string(type, 2) + " block from the server within " +
                               std::to_string(blockWait.count() / 1000) + " s");
        }
        m_pendingStx = false;

        uint8_t header[kBlockHeaderSize];
        Bytes rest;
        bool good = ReadExact(header, kBlockHeaderSize,
                              Clock::now() + TransmitTime(kBlockHeaderSize) + m_limits.slack);
        SBlockHeader h;
        if (good) {
            h = ParseBlockHeader(header);
            good = h.lenAcceptable;
        }
        if (good) {
            rest.resize(static_cast<size_t>(h.len + kBlockTailSize));
            good = ReadExact(rest.data(), h.len + kBlockTailSize,
                             Clock::now() + TransmitTime(h.len + kBlockTailSize) + m_limits.slack);
        }
        if (good)
            good = CheckBlock(m_crc, header, rest.data(), h.len, rest.data() + h.len) ==
                   BlockCheck::Ok;
        if (!good) {
            Trace("<", "damaged block");
            DrainUntilQuiet();
            WriteByte(NAK);
            if (++naks >= m_limits.maxNaks)
                throw NoAnswer("the " + std::string(type, 2) + " block arrived damaged " +
                               std::to_string(naks) + " times; the server gives up");
            deadline = Clock::now() + blockWait;
            continue;
        }
        TraceBlock("<", h.type, h.cnt, rest.data(), h.len);
        if (std::string(h.type) != std::string(type, 2)) {
            WriteByte(EOT);
            throw CClientError(CClientError::Kind::Failure,
                               std::string("unexpected ") + h.type + " block from the server");
        }
        WriteByte(ACK);
        if (repeatOf && h.cnt == *repeatOf) {
            // Our ACK of it was lost; it has been stored already.
            naks = 0;
            deadline = Clock::now() + blockWait;
            continue;
        }
        SBlock block;
        block.type = h.type;
        block.cnt = h.cnt;
        block.data.assign(rest.begin(), rest.begin() + h.len);
        return block;
    }
}

void CClientLink::SendEot() { WriteByte(EOT); }

void CClientLink::Settle() {
    const auto limit = Clock::now() + BlockWait();
    while (Clock::now() < limit)
        if (ReadByte(std::min(limit, Clock::now() + m_limits.synWait)) < 0) break;
    Purge();
}

}  // namespace rs232::client
