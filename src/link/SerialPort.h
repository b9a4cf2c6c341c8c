// A port with the operations and result codes the link relies on: a local serial device, or a
// line on a terminal server reached over TCP (see PortBackend.h for the device names).
//
// Results: 1 success; -1 port number outside 1..99; -2 device could not be opened (missing, or
// held by another opener); -3 line settings refused; -4 time-out settings refused (the port
// stays open after -3/-4); -5 port not open; -6 close failed (the port is closed all the same);
// -7 already open; -8 input discard failed; Write/WriteByte: minus errno when the write fails.
// After a failed Open, LastError() says why in one line that names the device.
// Timing: reads never wait; a write of n bytes waits at most 10 ms * n + 1000 ms.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "link/PortBackend.h"

namespace rs232 {

enum : int {
    kPortOk = 1,
    kPortOutOfRange = -1,
    kPortOpenFailed = -2,
    kPortSettingsRefused = -3,
    kPortTimeoutsRefused = -4,
    kPortNotOpen = -5,
    kPortCloseFailed = -6,
    kPortAlreadyOpen = -7,
    kPortPurgeFailed = -8,
};

enum : int {
    kNoStopBits1 = 0,  // one stop bit
    kTwoStopBits = 2,
    kNoParity = 0,
    kOddParity = 1,
    kEvenParity = 2,
};

class CSerialPort {
public:
    using Clock = std::chrono::steady_clock;

    CSerialPort() = default;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;
    virtual ~CSerialPort();

    // Port number -> device path. Ports without an entry use /dev/ttyS(n-1).
    void SetDeviceMap(std::map<int, std::string> devices) { m_deviceMap = std::move(devices); }
    std::string DeviceName(int port) const;
    // The files of lines over TLS, taken at each open.
    void SetTlsFiles(STlsFiles files) { m_tlsFiles = std::move(files); }
    // A start-up line about port's device (a raw TCP line keeps the far end's settings), or "".
    std::string Notice(int port) const;
    const std::string& LastError() const { return m_lastError; }
    // The last Open failed because a terminal server serves another connection on the line.
    bool LineHeldElsewhere() const { return m_bHeldElsewhere; }

    int SetParams(int baudRate, char parity, int dataBits, int stopBits, int handshake, int xonXoff);
    int Open(int port);
    int Close();
    int Write(const void* data, int length);
    int WriteByte(int byte);
    int Read(void* buffer, int maxCount);
    int GetInQueue();
    int PurgeInput();

    bool IsOpen() const { return m_backend != nullptr; }
    // True when the device reports a hang-up or an error: an unplugged USB adapter, the other
    // end of a pseudo-terminal gone, a network connection closed. Does not wait.
    bool HasHungUp() const;
    // Nothing queued and no hang-up (false when the port is not open). Does not wait; on a
    // device one poll().
    bool IsQuiet() const;
    int GetPortNumber() const { return m_nPort; }
    int GetBaudRate() const { return m_nBaudRate; }
    int GetFd() const { return m_backend ? m_backend->Fd() : -1; }

    // Waits until at least count bytes are queued or the deadline passes, sleeping in slices of
    // at most kWaitSlice (poll(POLLIN) returns as soon as bytes arrive). Returns the count
    // queued at the end (-5 when the port is not open). Never reads.
    int WaitForInQueue(int count, Clock::time_point deadline);
    // Reads count bytes as they arrive, until all are read or the deadline passes. It sleeps
    // through their line time from the call but the last kArrivalWindow; after that it waits
    // with poll(POLLIN), which returns as soon as the next bytes arrive, so the last byte is
    // read when it arrives, not a sleep later. Returns the count read (-5 when the port is not
    // open); bytes read before a deadline passed are in buffer all the same.
    int ReadWithin(void* buffer, int count, Clock::time_point deadline);

    static constexpr std::chrono::milliseconds kWaitSlice{20};
    static constexpr std::chrono::milliseconds kArrivalWindow{1};

protected:
    int m_bHandshake = 1;
    int m_bXonXoff = 0;
    int m_nStopBits = kNoStopBits1;
    int m_nDataBits = 8;
    int m_nParity = kNoParity;
    int m_nBaudRate = 9600;
    int m_nPort = -1;

private:
    // The line time of bytes at the set baud rate (9600 when none is set).
    std::chrono::microseconds LineTime(int bytes) const;
    // Waits until the port is readable or until passes (a hung-up line: until it passes).
    void WaitReadable(Clock::time_point until);

    std::map<int, std::string> m_deviceMap;
    STlsFiles m_tlsFiles;
    std::unique_ptr<IPortBackend> m_backend;
    std::string m_lastError;
    bool m_bHeldElsewhere = false;
};

}  // namespace rs232
