#include "server/Rs232Server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/TextFormat.h"

namespace rs232 {

const CRs232Server::Handler CRs232Server::kHandlers[wire::kRequestKinds] = {
    &CRs232Server::FTBlockReceived, &CRs232Server::RFBlockReceived,
    &CRs232Server::IRBlockReceived, &CRs232Server::DFBlockReceived,
    &CRs232Server::CFBlockReceived, &CRs232Server::DRBlockReceived,
    &CRs232Server::DLBlockReceived,
};

namespace {

// Marks a request as being served for as long as it runs, exceptions included.
class CServingGuard {
public:
    explicit CServingGuard(bool& flag) : m_flag(flag) { m_flag = true; }
    ~CServingGuard() { m_flag = false; }
    CServingGuard(const CServingGuard&) = delete;
    CServingGuard& operator=(const CServingGuard&) = delete;

private:
    bool& m_flag;
};

}  // namespace

CRs232Server::CRs232Server() { m_crc.BuildTable(); }

CRs232Server::~CRs232Server() = default;

int CRs232Server::StartServer(int port, int baudRate) {
    if (m_bRunning) return kServerAlreadyRunning;
    const int params = SetParams(baudRate, 'N', 8, 1, 0, 0);
    if (params != kPortOk) return params;
    const int opened = Open(port);
    if (opened != kPortOk) {
        // A device that refused its settings is open: release it so that a later start can
        // open it again (an already open port was not opened here and stays as it was).
        if (opened != kPortAlreadyOpen && IsOpen()) Close();
        return opened;
    }
    PurgeInput();
    m_bRunning = 1;
    RemoveLeftoverTemps();  // what a kill in the middle of a copy left behind
    return 1;
}

int CRs232Server::StopServer() {
    const int closed = Close();
    m_bRunning = 0;
    m_bPortLost = false;
    return closed;
}

int CRs232Server::Poll(std::string& status) {
    SPollEvent event;
    const int result = Poll(event);
    status = std::move(event.text);
    return result;
}

int CRs232Server::Poll(SPollEvent& event) {
    event = {};
    std::string& status = event.text;
    m_bQuiet = false;
    if (!m_bRunning) {
        status = "Server not running";
        event.level = EEventLevel::Error;
        return kServerNotRunning;
    }
    // A tick dispatched from inside a request (through PumpMessages) must leave the line to it.
    if (m_bServing) {
        status.clear();
        return 1;
    }
    if (m_bPortLost) {
        const int reopened = ReopenLostPort(status);
        if (reopened != 1) event.level = EEventLevel::Warning;
        return reopened;
    }
    // The common tick, a quiet line, asks the device once.
    if (IsQuiet()) {
        m_bQuiet = true;
        status.clear();
        return 1;
    }
    if (GetInQueue() <= 0) {
        if (HasHungUp()) {
            const int port = GetPortNumber();
            Close();
            m_bPortLost = true;
            m_nextReopen = Clock::now() + kReopenInterval;
            status = FormatText("Serial port %s lost, waiting for it to return", DeviceName(port).c_str());
            event.level = EEventLevel::Error;
            return kPortNotOpen;
        }
        status.clear();
        return 1;
    }
    uint8_t byte = 0;
    if (Read(&byte, 1) != 1) return 1;
    m_activity.lastContact = CurrentTime();

    if (byte == ENQ) {
        // Whatever came after the ENQ is discarded before the answer, not after it: a client
        // that sends its request as soon as it sees SYN must not lose it.
        PurgeInput();
        WriteByte(SYN);
        status = "Client connected";
        return 1;
    }
    m_request = {};
    m_request.request = ERequest::Unknown;
    m_requestStarted = STransfer::Clock::now();
    if (byte != STX) {
        event = Failed("Unknown Request");
        return kUnknownAnswer;
    }

    CServingGuard serving(m_bServing);
    char type[3] = {0, 0, 0};
    long cnt = 0;
    uint8_t data[kMaxBlockData];
    int len = 0;
    const int received = ReceiveBlock(status, type, cnt, data, len);
    if (received != 1) {
        event.level = EEventLevel::Error;
        return received;
    }
    const auto* kind = std::find_if(std::begin(wire::kRequestTypes), std::end(wire::kRequestTypes),
                                    [&](const char* t) { return std::strcmp(t, type) == 0; });
    if (kind == std::end(wire::kRequestTypes)) {
        event = Refused("Unknown block typ");
        return kRefused;
    }
    const auto index = kind - std::begin(wire::kRequestTypes);
    m_request.request = static_cast<ERequest>(index);
    if (m_request.request != ERequest::DR && m_request.request != ERequest::FT) {
        const std::string sent = RequestText(data, len);
        NoteRequestFile(sent.substr(0, sent.find('\n')));
    }
    try {
        event = (this->*kHandlers[index])(cnt, data, len);
    } catch (const CFileException& e) {
        if (m_request.file.empty()) m_request.file = e.Path();
        event = Failed(e.Describe());
        event.report = true;
    }
    return 1;
}

SPollEvent CRs232Server::End(EResult result, std::string text, EEventLevel level) {
    SRequestOutcome outcome = std::exchange(m_request, {});
    outcome.result = result;
    outcome.level = level;
    outcome.text = text;
    outcome.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        STransfer::Clock::now() - m_requestStarted);
    ++(result == EResult::Served ? m_activity.served : m_activity.failed);
    return {std::move(text), level, std::move(outcome), false};
}

ELinkState CRs232Server::LinkState() const {
    if (!m_bRunning) return ELinkState::Stopped;
    if (m_bPortLost) return ELinkState::DeviceLost;
    return (m_bServing || Transfer()) ? ELinkState::Serving : ELinkState::Waiting;
}

const STransfer* CRs232Server::Transfer() const {
    const STransfer& t = m_activity.transfer;
    if (!t.active) return nullptr;
    if (t.upload && STransfer::Clock::now() - t.updated > kUploadIdle) return nullptr;
    return &t;
}

void CRs232Server::BeginTransfer(const std::string& file, bool upload, int64_t total) {
    STransfer& t = m_activity.transfer;
    t.active = true;
    t.upload = upload;
    t.file = file;
    t.done = 0;
    t.total = total;
    t.started = t.updated = STransfer::Clock::now();
}

void CRs232Server::AdvanceTransfer(int64_t bytes) {
    STransfer& t = m_activity.transfer;
    t.done += bytes;
    t.updated = STransfer::Clock::now();
}

int CRs232Server::ReopenLostPort(std::string& status) {
    status.clear();
    if (Clock::now() < m_nextReopen) return kPortNotOpen;
    m_nextReopen = Clock::now() + kReopenInterval;
    if (Open(GetPortNumber()) != kPortOk) {
        if (IsOpen()) Close();  // opened but refused its settings: try again later
        // Why it does not come back, once for each new reason (a refused certificate, say).
        if (LastError() != std::exchange(m_strReopenError, LastError())) status = LastError();
        return kPortNotOpen;
    }
    m_strReopenError.clear();
    PurgeInput();
    m_bPortLost = false;
    status = FormatText("Serial port %s reopened", DeviceName(GetPortNumber()).c_str());
    return 1;
}

int CRs232Server::ReceiveBlock(std::string& status, char type[3], long& cnt, uint8_t* data,
                               int& len) {
    uint8_t header[kBlockHeaderSize];
    if (ReadWithin(header, kBlockHeaderSize, Clock::now() + m_limits.header) != kBlockHeaderSize) {
        PurgeInput();
        status = "Timeout";
        return kTimeout;
    }
    const SBlockHeader parsed = ParseBlockHeader(header);
    std::memcpy(type, parsed.type, 3);
    cnt = parsed.cnt;
    len = 0;
    // A LEN that does not fit the data area cannot be read safely: treat it like a block whose
    // rest never arrived.
    if (!parsed.lenAcceptable) return BlockError(1, cnt, status);

    const int rest = parsed.len + kBlockTailSize;
    uint8_t body[kMaxBlockData + kBlockTailSize];
    if (ReadWithin(body, rest, Clock::now() + m_limits.rest) != rest)
        return BlockError(1, cnt, status);
    switch (CheckBlock(m_crc, header, body, parsed.len, body + parsed.len)) {
        case BlockCheck::NoEtx: return BlockError(2, cnt, status);
        case BlockCheck::BadCrc: return BlockError(3, cnt, status);
        case BlockCheck::Ok: break;
    }
    std::memcpy(data, body, static_cast<size_t>(parsed.len));
    len = parsed.len;
    WriteByte(ACK);
    return 1;
}

int CRs232Server::BlockError(int kind, long cnt, std::string& status) {
    PurgeInput();
    WriteByte(NAK);
    if (m_upload.request) ++m_upload.request->retries;  // a block of the upload, damaged
    status = FormatText("Block %6.6ld Error: [%d]", cnt, kind);
    return kBlockError;
}

int CRs232Server::SendBlockRetry(const uint8_t* block, int length) {
    PurgeInput();
    int naks = 0;
    int timeouts = 0;
    for (bool again = false; naks < 3; again = true) {
        if (again) ++m_request.retries;
        if (Write(block, length) != length) return kSendShortWrite;
        uint8_t answer = 0;
        const bool answered = WaitForInQueue(1, Clock::now() + m_limits.answer) > 0 &&
                              Read(&answer, 1) == 1;
        if (!answered) {
            ++timeouts;
            LogMessage("SendBlockRetry Timeout", EEventLevel::Warning);
        } else if (answer == ACK) {
            return 1;
        } else if (answer == NAK) {
            LogMessage("SendBlockRetry NAK", EEventLevel::Warning);
            ++naks;
        } else if (answer == EOT) {
            return kSendEot;
        } else {
            return kUnknownAnswer;
        }
        if (timeouts >= 3) return kTimeout;
    }
    return kSendNakLimit;
}

int CRs232Server::BuildBlock(const char* type, long cnt, int len, const void* data, uint8_t* out,
                             int& outLength) const {
    rs232::BuildBlock(m_crc, type, cnt, len, data, out, outLength);
    return 0;  // framing cannot fail
}

void CRs232Server::LogMessage(const std::string& text, EEventLevel level) {
    if (m_eventRoute) m_eventRoute(text, level);
}

void CRs232Server::PumpMessages() {
    if (m_pumpMessages) m_pumpMessages();
}

}  // namespace rs232
