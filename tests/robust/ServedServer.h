// The real rs232-server, headless, run from its own copy in a test directory whose settings file
// points its port at a device of the test's choosing; and the client's side of an upload, played
// by the test on a pseudo-terminal.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {

class CServedServer {
public:
    // Copies the executable into dir (once) and starts it there on device, with basePath on
    // its command line when given and workDir as its current directory (dir when empty). The
    // port number is the first from 16 down that no other server on this machine holds.
    CServedServer(const CTempDir& dir, const std::string& device, const std::string& basePath = {},
                  const std::string& workDir = {});

    // True once it logged "Rs232 Server started ...".
    bool Started() const { return m_started; }
    int Port() const { return m_port; }
    // Waits until stdout, from offset `from` on, holds text. Reads the pipes meanwhile.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0);
    // Reads what the pipes hold, so a chatty server never blocks on a full pipe.
    void Drain();
    const std::string& Out() const { return m_child->Out(); }
    const std::string& Err() const { return m_child->Err(); }
    // SIGKILL, then reap.
    void Kill();
    bool Running();

private:
    std::unique_ptr<CChild> m_child;
    int m_port = 0;
    bool m_started = false;
};

// Upload temp file name for a port, as the server names it.
std::string UploadTempName(int port);

// ENQ until SYN comes back; false after `tries` attempts.
bool Connect(CPty& pty, int tries = 1);
// Sends one block and waits for its ACK (the server takes one block per tick); sent again
// after an answer time-out.
bool SendAcked(CPty& pty, const char* type, long cnt, const Bytes& data);
// Start block, data blocks of 500 bytes and end block, each acknowledged.
bool Upload(CPty& pty, const std::string& target, const Bytes& content);

Bytes Pattern(size_t n, unsigned seed);
void WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);

}  // namespace rs232::test
