#include "ServedServer.h"

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "link/Block.h"

namespace rs232::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

CServedServer::CServedServer(const CTempDir& dir, const std::string& device,
                             const std::string& basePath, const std::string& workDir) {
    const std::string exe = dir / "rs232-server";
    if (!fs::exists(exe)) fs::copy_file(RS232_SERVER, exe);
    for (int port = 16; port >= 1 && !m_started; --port) {
        std::ofstream(dir / "rs232-server.ini")
            << "[PORTS]\nCOM" << port << "=" << device << "\n";
        std::vector<std::string> argv{exe, std::to_string(port)};
        if (!basePath.empty()) argv.push_back(basePath);
        m_child = std::make_unique<CChild>(
            argv, std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
            workDir.empty() ? dir.Path() : workDir);
        m_port = port;
        // Either it starts, or it ends at once (another server holds the port, or a failure).
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < deadline && !m_started) {
            m_started = WaitFor("Rs232 Server started ...", std::chrono::milliseconds(100));
            if (!m_started && !Running()) break;
        }
        if (!m_started && Err().find("already running") == std::string::npos) return;
    }
}

bool CServedServer::WaitFor(const std::string& text, std::chrono::milliseconds timeout,
                            size_t from) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (Out().find(text, std::min(from, Out().size())) != std::string::npos) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        // A complete line, or the time-out: either way the pipes have been read.
        if (!m_child->WaitForLine("", std::min(left, std::chrono::milliseconds(50))) &&
            !Running())
            return Out().find(text, std::min(from, Out().size())) != std::string::npos;
    }
}

void CServedServer::Drain() {
    while (m_child->WaitForLine("", std::chrono::milliseconds(0))) {
    }
}

void CServedServer::Kill() { m_child->Stop(SIGKILL, std::chrono::seconds(10)); }

bool CServedServer::Running() { return m_child->Wait(0ms) < 0; }

std::string UploadTempName(int port) {
    char name[32];
    std::snprintf(name, sizeof name, "FT_TMP%2.2d.TMP", port);
    return name;
}

bool Connect(CPty& pty, int tries) {
    for (int i = 0; i < tries; ++i) {
        pty.Send(ENQ);
        if (pty.Read(1, std::chrono::seconds(2)) == Bytes{SYN}) return true;
    }
    return false;
}

bool SendAcked(CPty& pty, const char* type, long cnt, const Bytes& data) {
    // Sent again when no answer comes, as a client does: the server discards its input right
    // after answering an ENQ, and a block that came in that instant is gone.
    for (int send = 0; send < 4; ++send) {
        pty.Send(MakeBlock(type, cnt, data));
        const Bytes answer = pty.Read(1, std::chrono::seconds(3));
        if (!answer.empty()) return answer == Bytes{ACK};
    }
    return false;
}

bool Upload(CPty& pty, const std::string& target, const Bytes& content) {
    const std::string start = target + ";" + std::to_string(content.size());
    if (!Connect(pty) || !SendAcked(pty, "FT", 0, Bytes(start.begin(), start.end()))) return false;
    long cnt = 0;
    for (size_t at = 0; at < content.size(); at += kMaxReplyData) {
        const size_t n = std::min<size_t>(kMaxReplyData, content.size() - at);
        if (!SendAcked(pty, "FT", ++cnt, Bytes(content.begin() + at, content.begin() + at + n)))
            return false;
    }
    return SendAcked(pty, "FT", -1, {});
}

Bytes Pattern(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace rs232::test
