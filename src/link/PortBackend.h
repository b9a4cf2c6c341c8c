// What carries a port's bytes: a local serial device, a raw TCP connection to a terminal server,
// or a Telnet COM-PORT (RFC 2217) connection that also sets the far end's line. CSerialPort picks
// the backend from the device name through one table and leaves the rest to it.
//
// Device names: "tcp://HOST:PORT", "rfc2217://HOST:PORT", each also with TLS under it as
// "tcp+tls://" and "rfc2217+tls://" (HOST may be "[v6 address]"), anything else a device path.
//
// Contract of every backend: Open returns kPortOk or a kPort* code with ErrorText() set (a
// backend that answers -3/-4 stays open, as a device that refused its settings does); reads
// never wait; Write returns the bytes written by the deadline or minus errno; a broken
// connection reads as a hang-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace rs232 {

struct SLineSettings {
    int baudRate = 9600;
    int dataBits = 8;
    int parity = 0;    // kNoParity, kOddParity, kEvenParity
    int stopBits = 0;  // kNoStopBits1 or kTwoStopBits
    int handshake = 0;
    int xonXoff = 0;
};

class IPortBackend {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~IPortBackend() = default;
    virtual int Open(const SLineSettings& line) = 0;
    virtual int Close() = 0;
    virtual int Write(const uint8_t* data, int length, Clock::time_point deadline) = 0;
    virtual int Read(void* buffer, int maxCount) = 0;
    virtual int InQueue() = 0;
    virtual bool PurgeInput() = 0;
    virtual bool HungUp() = 0;
    // Nothing queued and no hang-up: what a tick on a quiet line asks.
    virtual bool Quiet() { return InQueue() <= 0 && !HungUp(); }
    virtual int Fd() const = 0;  // what to poll for input

    const std::string& ErrorText() const { return m_error; }
    // The open failed because the far end serves another connection on the line.
    bool HeldElsewhere() const { return m_heldElsewhere; }

protected:
    std::string m_error;
    bool m_heldElsewhere = false;
};

// The files of TLS lines ([TLS] CA, CERT and KEY in the settings file; see TlsClient.h): the CA
// that signed the terminal server's certificate, and this end's certificate and key.
struct STlsFiles {
    std::string ca, cert, key;
};

struct SPortBackendKind {
    const char* scheme;  // the device name's prefix; "" matches every name
    // tls: the files when the line runs over TLS, nullptr when not.
    std::unique_ptr<IPortBackend> (*create)(const std::string& device, const STlsFiles* tls);
    // A start-up line about the port, or nullptr: "%s" is the device name.
    const char* notice;
    bool tls;
};

// The kinds in the order they are tried; device paths come last.
extern const SPortBackendKind kPortBackends[5];
const SPortBackendKind& PortBackendKind(const std::string& device);

// HOST and PORT of a network device's name (HOST without the brackets of a v6 address). False,
// with why, when PORT is missing or not a whole number from 1 to 65535.
bool ReadNetworkAddress(const std::string& device, std::string& host, std::string& port,
                        std::string& why);

std::unique_ptr<IPortBackend> MakeTtyBackend(const std::string& device);
std::unique_ptr<IPortBackend> MakeTcpBackend(const std::string& device, const STlsFiles* tls);
std::unique_ptr<IPortBackend> MakeRfc2217Backend(const std::string& device, const STlsFiles* tls);
// The local serial device of port n when [PORTS] does not map it.
std::string DefaultDeviceName(int port);
// Waits until the backend has input or until `until`, whichever comes first.
void WaitForInput(IPortBackend& backend, IPortBackend::Clock::time_point until);

}  // namespace rs232
