// A line on a terminal server reached over TCP. Raw TCP carries the bytes as they are and leaves
// the line settings to the far end; CRfc2217Backend builds the Telnet COM-PORT option on it.
// Either may run over TLS (CTlsClient), whose files are read before connecting.
//
// Connect: every address of HOST in turn, then the TLS handshake, all within kConnectTimeout.
// A far end that closes a fresh connection within kRefusalWindow (a daemon that serves one
// connection and has one) is a failed open whose error text carries what it sent; over TLS, one
// that closes it without a word has refused this end's certificate. A connection the far end
// closes, or a write that does not finish by its deadline, reads as a hang-up from then on.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "link/PortBackend.h"

namespace rs232 {

class CTlsClient;

class CTcpBackend : public IPortBackend {
public:
    static constexpr std::chrono::seconds kConnectTimeout{5};
    static constexpr std::chrono::milliseconds kRefusalWindow{300};
    // Received bytes held for the reader; beyond this the far end waits (TCP flow control).
    static constexpr size_t kMaxQueued = 64 * 1024;

    // tls: the files when the line runs over TLS, nullptr for plain TCP.
    CTcpBackend(std::string device, const STlsFiles* tls);
    ~CTcpBackend() override;

    int Open(const SLineSettings& line) override;
    int Close() override;
    int Write(const uint8_t* data, int length, Clock::time_point deadline) override;
    int Read(void* buffer, int maxCount) override;
    int InQueue() override;
    bool PurgeInput() override;
    bool HungUp() override;
    int Fd() const override { return m_fd; }

protected:
    // After the connect: what this kind of line needs before it carries data.
    virtual int Negotiate(const SLineSettings& line);
    // Bytes off the socket into m_in; bytes for the line onto the socket.
    virtual void Decode(const uint8_t* data, size_t length);
    virtual void Encode(const uint8_t* data, int length, std::vector<uint8_t>& out);

    // Reads what the socket holds through Decode. False once the connection is gone.
    bool Pump();
    // Waits (at most until deadline) for input and pumps it; false once the connection is gone.
    bool PumpUntil(Clock::time_point deadline);
    bool SendAll(const uint8_t* data, size_t length, Clock::time_point deadline);
    int Fail(int code, const std::string& why);
    // The far end closed the fresh connection: it serves another one on the line, or it refused
    // this end's certificate or TLS.
    int HeldByAnother();
    // What the far end sent before it closed the connection, for the error text.
    std::string ClosedText() const;

    std::string m_device;
    std::string m_host;
    std::string m_service;
    std::deque<uint8_t> m_in;

private:
    int Connect(Clock::time_point deadline);
    // The socket's receive and send (tcp::), through TLS when the line has it.
    ssize_t Receive(uint8_t* buffer, size_t size);
    ssize_t Send(const uint8_t* data, size_t size);
    short WaitEvents(short plain) const;

    std::optional<STlsFiles> m_tlsFiles;
    std::unique_ptr<CTlsClient> m_tls;
    int m_fd = -1;
    bool m_broken = false;
    size_t m_received = 0;  // bytes the far end sent on this connection
};

}  // namespace rs232
