// The server fuzzed through its line: the input is decoded into operations, each written to the
// master side of a pseudo-terminal whose slave side is the server's port, and Poll runs until the
// port's queue is empty. The operations are framed requests of every type (with answer bytes for
// their replies), FT blocks whose start block's size matches the data that follows, and raw
// bytes that reach the framing checks. Whatever arrives, the server must not crash, hang, lose
// its port or touch a file outside its scratch directory; and after every FT block:
//  - a finish reported as "Receiving and Copy and Rename (Backup) File %s OK!" leaves the target
//    holding exactly the data blocks the handler stored (empty status) since the start block, in
//    order, and the temp file gone;
//  - any other outcome of an end block leaves the target as it was.
//
// Input, one operation after another (a missing byte reads as 0):
//   op % 5 == 0  FT start block: t, s. Target kTargets[t % n]; size = the data bytes of the FT data
//                blocks up to the next start or end block, adjusted by s (exact, +1 or -1).
//   op % 5 == 1  FT data block: c, len, len bytes. CNT is the next one expected, a repeat, a skip or
//                (c % 8 == 7) four raw bytes; len up to 255, or with c & 0x80 two bytes up to 520.
//   op % 5 == 2  FT end block.
//   op % 5 == 3  request: type kTypes[t % n], c, len, len bytes. CNT 0, or (c % 4 == 3) one signed
//                byte; (c / 4) % 8 answers of kAnswers[c / 32 % 4] follow the block.
//   op % 5 == 4  raw bytes: len, len bytes.
// Inputs whose paths could leave the scratch directory are not run: a path with no separator, no
// drive colon and no ".." names a file directly inside the base directory.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/FileOps.h"
#include "server/Rs232Server.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::fuzz {
namespace {

using namespace std::chrono_literals;
const char* const kTargets[] = {"t.txt", "a.txt", "sub\\u.bin", "nodir\\v.txt", "first;second.txt", "sub", "FT_TMP03.TMP"};
const char* const kTypes[] = {"DR", "IR", "RF", "DF", "CF", "DL", "FT", "XY"};
const uint8_t kAnswers[] = {ACK, NAK, EOT, ACK};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

bool Inside(const std::string& s) {
    return s.find_first_of("/\\:") == std::string::npos && s.find("..") == std::string::npos;
}

struct SOp {
    std::string type = "FT", data;
    long cnt = 0;
    int cntMode = -1;  // FT data: 0 next, 1 repeat, 2 skip
    int target = -1, adjust = 0, answers = 0;
    uint8_t answer = ACK;
    bool raw = false;
};

std::optional<std::vector<SOp>> Decode(const uint8_t* in, size_t size) {
    size_t pos = 0;
    auto byte = [&]() -> uint8_t { return pos < size ? in[pos++] : 0; };
    auto bytes = [&](size_t n) {
        n = std::min(n, size - pos);
        pos += n;
        return std::string(reinterpret_cast<const char*>(in + pos - n), n);
    };
    std::vector<SOp> ops;
    while (pos < size) {
        SOp op;
        const uint8_t kind = byte() % 5;
        if (kind == 0) {
            op.target = byte() % std::size(kTargets);
            op.adjust = std::array{0, 0, 1, -1}[byte() % 4];
        } else if (kind == 1) {
            const uint8_t c = byte();
            op.cntMode = c % 8 == 5 ? 1 : c % 8 == 6 ? 2 : c % 8 == 7 ? -1 : 0;
            for (int i = 0; c % 8 == 7 && i < 4; ++i) op.cnt = op.cnt << 8 | byte();
            op.cnt = static_cast<int32_t>(op.cnt);
            size_t len = byte();
            if (c & 0x80) len = (len << 8 | byte()) % (kMaxBlockData + 1);
            op.data = bytes(len);
        } else if (kind == 2) {
            op.cnt = -1;
        } else {
            if (kind == 3) op.type = kTypes[byte() % std::size(kTypes)];
            const uint8_t c = kind == 3 ? byte() : 0;
            op.cnt = c % 4 == 3 ? static_cast<int8_t>(byte()) : 0;
            op.answers = c / 4 % 8;
            op.answer = kAnswers[c / 32 % 4];
            op.raw = kind == 4;
            op.data = bytes(byte());
        }
        if (!Inside(op.data) && (op.cnt == 0 || op.type != "FT")) return std::nullopt;
        ops.push_back(std::move(op));
    }
    // Sizes that match the data to come, so that finishes are reached often.
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].target < 0) continue;
        long total = ops[i].adjust;
        for (size_t j = i + 1; j < ops.size() && ops[j].cntMode >= 0; ++j) total += static_cast<long>(ops[j].data.size());
        ops[i].data = kTargets[ops[i].target] + (";" + std::to_string(total));
    }
    return ops;
}

// The file's content, or nullopt when there is no such regular file.
std::optional<std::string> Content(const std::string& path) {
    CFileStatus fs;
    if (!GetStatus(path, fs) || (fs.m_attribute & wire::kAttrDirectory)) return std::nullopt;
    return test::ReadWholeFile(path);
}

std::optional<std::string> Between(const std::string& s, const std::string& prefix, const std::string& suffix) {
    if (s.size() < prefix.size() + suffix.size() || !s.starts_with(prefix) || !s.ends_with(suffix)) return std::nullopt;
    return s.substr(prefix.size(), s.size() - prefix.size() - suffix.size());
}

// The server on port 3 of a pseudo-terminal, with a scratch directory as base path and working
// directory (where the upload temp file lies). Every input starts from the same state, so a
// finding reproduces from its file alone.
class CHarness : public CRs232Server {
public:
    CHarness() {
        SetDeviceMap({{3, pty.SlavePath()}});
        if (StartServer(3, 115200) != 1) std::abort();
        SetBasePath(dir.Path());
        SetBackupPath(dir / "BAK/");
        // Waits of a few ms: a whole operation is queued before its first Poll.
        SetLinkLimits({3ms, 3ms, 3ms, 0ms});
    }
    void Restore() {
        m_upload = {};
        namespace fs = std::filesystem;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir.Path(), ec)) fs::remove_all(entry, ec);
        fs::create_directory(dir / "BAK", ec);
        fs::create_directory(dir / "sub", ec);
        std::ofstream(dir / "a.txt") << "alpha\r\n";
        std::ofstream(dir / "sub/b.txt") << "bravo";
        std::ofstream(dir / "big.bin") << std::string(1201, 'b');
    }
    // Sends the bytes, waits until all are queued and polls until the queue is empty; the status
    // of the first Poll, or nullopt after a file error (for the operator's error report).
    std::optional<std::string> Serve(const test::Bytes& bytes) {
        pty.Send(bytes);
        WaitForInQueue(static_cast<int>(bytes.size()), Clock::now() + 10s);
        std::optional<std::string> first;
        bool failed = false;
        for (size_t polls = 0; GetInQueue() > 0; ++polls) {
            if (polls > bytes.size()) Fail("Poll does not consume the input");
            SPollEvent event;
            Poll(event);
            if (event.outcome && event.outcome->text.empty()) Fail("an outcome without its line");
            failed |= polls == 0 && event.report;
            if (polls == 0) first = event.text;
            uint8_t buf[4096];
            for (pollfd p{pty.Master(), POLLIN, 0}; poll(&p, 1, 0) > 0 && read(pty.Master(), buf, sizeof buf) > 0;) {
            }
            if (!IsRunning() || !IsOpen()) Fail("server lost its port");
        }
        return failed ? std::nullopt : first;
    }
    test::CTempDir dir;
    test::CPty pty;
};

}  // namespace
}  // namespace rs232::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace rs232;
    using namespace rs232::fuzz;
    const auto ops = size <= 3000 ? Decode(data, size) : std::nullopt;  // the pty queues 4095 bytes
    if (!ops) return -1;
    static CHarness h;
    const int back = open(".", O_RDONLY | O_DIRECTORY);  // libFuzzer's own paths are relative
    if (back < 0 || chdir(h.dir.Path().c_str()) != 0) std::abort();
    h.Restore();
    // The model: what an upload in progress has stored so far, and where it goes.
    std::string stored, target;
    bool known = false;  // false until a start block is taken, and after a file error or raw bytes
    long expected = 1;   // CNT of the next data block the model expects
    for (const SOp& op : *ops) {
        const long cnt = op.cntMode > 0 ? expected + (op.cntMode == 1 ? -1 : 1) : op.cntMode == 0 ? expected : op.cnt;
        test::Bytes bytes = op.raw ? test::Bytes(op.data.begin(), op.data.end()) : test::MakeBlock(op.type.c_str(), cnt, op.data);
        bytes.insert(bytes.end(), op.answers, op.answer);
        const bool ft = op.type == "FT" && !op.raw;
        const auto before = ft && cnt == -1 ? Content(target) : std::nullopt;
        const auto status = h.Serve(bytes);
        if (op.raw || !status) known = false;
        if (!ft || !status) continue;
        if (cnt == 0) {
            if (auto path = Between(*status, "Receiving File ", "...")) {
                if (!path->starts_with(h.dir.Path())) Fail("upload target outside the scratch directory: " + *path);
                target = *path;
                stored.clear();
                known = true;
                expected = 1;
            }
        } else if (cnt != -1) {
            if (status->empty()) {
                stored += op.data;
                expected = cnt + 1;
            }
        } else if (auto path = Between(*status, "Receiving and Copy and Rename (Backup) File ", " OK!")) {
            if (*path != target) Fail("finish names " + *path + ", the start named " + target);
            if (known && Content(target) != stored) Fail("target " + target + " does not hold the stored data after: " + *status);
            if (Content(h.dir / "FT_TMP03.TMP")) Fail("temp file left after: " + *status);
        } else if (!status->starts_with("FTBlockReceived: Error Renaming ") && Content(target) != before) {
            Fail("target " + target + " changed after: " + *status);  // a failed copy included
        }
    }
    if (fchdir(back) != 0) std::abort();
    close(back);
    return 0;
}
