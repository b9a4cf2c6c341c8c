// A line on a terminal server through the Telnet COM-PORT option (RFC 2217): Telnet binary
// transmission both ways (a 0xFF data byte travels as IAC IAC), the line settings sent as
// COM-PORT commands at open, and the baud rate, data size, parity and stop size the far end
// confirms checked against what was asked. Flow control, DTR and RTS are set without waiting
// for an answer: some far ends never give one.
#include <cstring>

#include "link/SerialPort.h"
#include "link/TcpBackend.h"

namespace rs232 {

namespace {

enum : uint8_t { SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255 };
enum : uint8_t { kOptBinary = 0, kOptSuppressGoAhead = 3, kOptComPort = 44 };
// COM-PORT commands; the far end answers command c as c + kAnswerOffset.
enum : uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kPurgeData = 12,
    kAnswerOffset = 100,
};
enum : uint8_t {
    kControlNoFlow = 1,
    kControlXonXoff = 2,
    kControlHardware = 3,
    kControlDtrOn = 8,
    kControlRtsOn = 11,
};
constexpr uint8_t kPurgeReceiveBuffer = 1;
constexpr size_t kMaxSubnegotiation = 64;

class CRfc2217Backend : public CTcpBackend {
public:
    // How long the far end may take to agree to the option and to confirm the settings.
    static constexpr std::chrono::seconds kAnswerTimeout{5};

    CRfc2217Backend(std::string device, const STlsFiles* tls)
        : CTcpBackend(std::move(device), tls) {}

    // Settings no line has are refused before connecting, as a local device refuses them: a
    // far end may not answer them at all, and a rate of 0 would ask for its current one.
    int Open(const SLineSettings& line) override {
        if (line.baudRate <= 0 || line.dataBits < 5 || line.dataBits > 8)
            return Fail(kPortSettingsRefused, "line settings refused: " +
                                                  std::to_string(line.baudRate) + " baud, " +
                                                  std::to_string(line.dataBits) + " data bits");
        return CTcpBackend::Open(line);
    }

    bool PurgeInput() override {
        CTcpBackend::PurgeInput();
        SendCommand(kPurgeData, {kPurgeReceiveBuffer});
        return true;
    }

protected:
    int Negotiate(const SLineSettings& line) override;
    void Decode(const uint8_t* data, size_t length) override;
    void Encode(const uint8_t* data, int length, std::vector<uint8_t>& out) override {
        out.clear();
        for (int i = 0; i < length; ++i) {
            out.push_back(data[i]);
            if (data[i] == IAC) out.push_back(IAC);
        }
    }

private:
    enum class EIn { Data, Iac, Option, Sub, SubIac };

    void SendCommand(uint8_t command, std::initializer_list<uint8_t> value);
    void Send(std::initializer_list<uint8_t> bytes) {
        SendAll(bytes.begin(), bytes.size(), Clock::now() + kAnswerTimeout);
    }
    void Ask(uint8_t verb, uint8_t option);
    void OnOption(uint8_t verb, uint8_t option);
    void OnSubnegotiation();
    bool WaitFor(bool (CRfc2217Backend::*done)() const);
    bool ComPortSettled() const { return m_us[kOptComPort] || m_refused[kOptComPort]; }
    bool SettingsAnswered() const {
        for (int c = kSetBaudRate; c <= kSetStopSize; ++c)
            if (m_answer[c] < 0) return false;
        return true;
    }

    EIn m_state = EIn::Data;
    uint8_t m_verb = 0;
    std::vector<uint8_t> m_sub;
    // Options in force on our side (us) and the far end's (him), and those we asked for.
    bool m_us[256] = {}, m_him[256] = {}, m_askedUs[256] = {}, m_askedHim[256] = {};
    bool m_refused[256] = {};
    int64_t m_answer[kSetStopSize + 1] = {-1, -1, -1, -1, -1};
    Clock::time_point m_deadline{};
};

bool Offered(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

int CRfc2217Backend::Negotiate(const SLineSettings& line) {
    m_deadline = Clock::now() + kAnswerTimeout;
    Ask(WILL, kOptBinary);
    Ask(DO, kOptBinary);
    Ask(WILL, kOptComPort);
    if (!WaitFor(&CRfc2217Backend::ComPortSettled) && HungUp())
        return HeldByAnother();
    if (!m_us[kOptComPort])
        return Fail(kPortSettingsRefused,
                    "the far end does not take the COM-PORT option (RFC 2217); use tcp:// for a "
                    "raw TCP line");

    const uint32_t baud = static_cast<uint32_t>(line.baudRate);
    const uint8_t parity = line.parity == kOddParity ? 2 : line.parity == kEvenParity ? 3 : 1;
    const uint8_t stop = line.stopBits == kTwoStopBits ? 2 : 1;
    const uint8_t flow = line.handshake ? kControlHardware
                         : line.xonXoff ? kControlXonXoff
                                        : kControlNoFlow;
    SendCommand(kSetBaudRate, {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                               static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
    SendCommand(kSetDataSize, {static_cast<uint8_t>(line.dataBits)});
    SendCommand(kSetParity, {parity});
    SendCommand(kSetStopSize, {stop});
    SendCommand(kSetControl, {flow});
    SendCommand(kSetControl, {kControlDtrOn});
    SendCommand(kSetControl, {kControlRtsOn});
    if (!WaitFor(&CRfc2217Backend::SettingsAnswered))
        return HungUp() ? Fail(kPortOpenFailed, "the far end closed the connection" + ClosedText())
                        : Fail(kPortSettingsRefused,
                               "no answer to the line settings within " +
                                   std::to_string(kAnswerTimeout.count()) + " s");
    if (!m_us[kOptBinary] || !m_him[kOptBinary])
        return Fail(kPortSettingsRefused, "the far end refuses binary transmission");

    const struct {
        const char* what;
        int64_t asked;
        int64_t got;
    } checks[] = {
        {"baud rate", baud, m_answer[kSetBaudRate]},
        {"data size", line.dataBits, m_answer[kSetDataSize]},
        {"parity", parity, m_answer[kSetParity]},
        {"stop size", stop, m_answer[kSetStopSize]},
    };
    for (const auto& c : checks)
        if (c.asked != c.got)
            return Fail(kPortSettingsRefused, std::string("the far end set ") + c.what + " " +
                                                  std::to_string(c.got) + " instead of " +
                                                  std::to_string(c.asked));
    return kPortOk;
}

bool CRfc2217Backend::WaitFor(bool (CRfc2217Backend::*done)() const) {
    while (!(this->*done)() && Clock::now() < m_deadline)
        if (!PumpUntil(m_deadline)) return false;
    return (this->*done)();
}

void CRfc2217Backend::SendCommand(uint8_t command, std::initializer_list<uint8_t> value) {
    std::vector<uint8_t> out{IAC, SB, kOptComPort, command};
    for (uint8_t b : value) {
        out.push_back(b);
        if (b == IAC) out.push_back(IAC);
    }
    out.insert(out.end(), {IAC, SE});
    SendAll(out.data(), out.size(), Clock::now() + kAnswerTimeout);
}

void CRfc2217Backend::Ask(uint8_t verb, uint8_t option) {
    (verb == WILL ? m_askedUs : m_askedHim)[option] = true;
    Send({IAC, verb, option});
}

// Agree to what we offer, refuse the rest, and never answer an answer (no loops).
void CRfc2217Backend::OnOption(uint8_t verb, uint8_t option) {
    const bool ours = verb == DO || verb == DONT;
    bool* on = ours ? m_us : m_him;
    bool* asked = ours ? m_askedUs : m_askedHim;
    const uint8_t yes = ours ? WILL : DO, no = ours ? WONT : DONT;
    if (verb == DO || verb == WILL) {
        const bool wanted = ours ? Offered(option) : option != kOptComPort && Offered(option);
        if (!wanted) {
            Send({IAC, no, option});
        } else if (!on[option]) {
            on[option] = true;
            if (!asked[option]) Send({IAC, yes, option});
        }
        return;
    }
    if (on[option]) Send({IAC, no, option});
    on[option] = false;
    if (asked[option]) m_refused[option] = true;
    asked[option] = false;
}

void CRfc2217Backend::OnSubnegotiation() {
    if (m_sub.size() < 3 || m_sub[0] != kOptComPort) return;
    const int command = m_sub[1] - kAnswerOffset;
    if (command < kSetBaudRate || command > kSetStopSize) return;
    if (command == kSetBaudRate) {
        if (m_sub.size() < 6) return;
        m_answer[command] = int64_t{m_sub[2]} << 24 | int64_t{m_sub[3]} << 16 |
                            int64_t{m_sub[4]} << 8 | m_sub[5];
    } else {
        m_answer[command] = m_sub[2];
    }
}

void CRfc2217Backend::Decode(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        switch (m_state) {
            case EIn::Data:
                if (b == IAC) m_state = EIn::Iac;
                else m_in.push_back(b);
                break;
            case EIn::Iac:
                m_state = EIn::Data;
                if (b == IAC) {
                    m_in.push_back(IAC);
                } else if (b >= WILL) {
                    m_verb = b;
                    m_state = EIn::Option;
                } else if (b == SB) {
                    m_sub.clear();
                    m_state = EIn::Sub;
                }  // other commands (NOP, data mark, ...) carry nothing for us
                break;
            case EIn::Option:
                OnOption(m_verb, b);
                m_state = EIn::Data;
                break;
            case EIn::Sub:
                if (b == IAC) m_state = EIn::SubIac;
                else if (m_sub.size() < kMaxSubnegotiation) m_sub.push_back(b);
                break;
            case EIn::SubIac:
                if (b == SE) {
                    OnSubnegotiation();
                    m_state = EIn::Data;
                } else {
                    if (m_sub.size() < kMaxSubnegotiation) m_sub.push_back(b);
                    m_state = EIn::Sub;
                }
                break;
        }
    }
}

}  // namespace

std::unique_ptr<IPortBackend> MakeRfc2217Backend(const std::string& device, const STlsFiles* tls) {
    return std::make_unique<CRfc2217Backend>(device, tls);
}

}  // namespace rs232
