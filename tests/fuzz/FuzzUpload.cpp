// The upload state machine, fuzzed: the input is decoded into a sequence of FT blocks that go
// straight to FTBlockReceived. Checked after every block:
//  - nothing but CFileException leaves the handler, and it always returns 1;
//  - a finish reported as "Receiving and Copy and Rename (Backup) File %s OK!" leaves the target
//    holding exactly the data blocks the handler stored (empty status) since the start block, in
//    order, and the temp file gone;
//  - any other outcome of an end block leaves the target as it was.
//
// Input, one operation after another (a missing byte reads as 0):
//   op % 4 == 0  start block: t, s. Target kTargets[t % n]; size = the data bytes of the data
//                blocks up to the next start or end block, adjusted by s (exact, +1 or -1).
//   op % 4 == 1  data block: c, len, len bytes. CNT is the next one expected, a repeat, a skip or
//                (c % 8 == 7) four raw bytes; len up to 255, or with c & 0x80 two bytes up to 520.
//   op % 4 == 2  end block.
//   op % 4 == 3  start block with raw text: len, len bytes (inputs that could leave the scratch
//                directory are not run).
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "platform/FileOps.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::fuzz {
namespace {

constexpr size_t kMaxInput = 8192;

// Targets relative to the base directory. The temp file's own name is among them: the client
// can name any file, that one included.
const char* const kTargets[] = {
    "t.txt", "a.txt", "sub\\u.bin", "nodir\\v.txt", "first;second.txt", "sub", "FT_TMP05.TMP",
};

struct SBlock {
    long cnt = 0;  // meaningful for raw CNT only
    enum Kind { Start, Data, End } kind = Data;
    enum CntMode { Next, Repeat, Skip, Raw } cntMode = Next;
    std::string data;
    bool autoSize = false;
    int sizeAdjust = 0;
    std::string target;
};

class CReader {
public:
    CReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_pos < m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::string Bytes(size_t n) {
        n = std::min(n, m_size - m_pos);
        std::string out(reinterpret_cast<const char*>(m_data + m_pos), n);
        m_pos += n;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

std::optional<std::vector<SBlock>> Decode(const uint8_t* data, size_t size) {
    std::vector<SBlock> blocks;
    CReader in(data, size);
    while (in.More()) {
        SBlock b;
        switch (in.Byte() % 4) {
        case 0: {
            b.kind = SBlock::Start;
            b.target = kTargets[in.Byte() % std::size(kTargets)];
            const uint8_t s = in.Byte() % 4;
            b.sizeAdjust = s == 2 ? 1 : s == 3 ? -1 : 0;
            b.autoSize = true;
            break;
        }
        case 1: {
            b.kind = SBlock::Data;
            const uint8_t c = in.Byte();
            switch (c % 8) {
            case 5: b.cntMode = SBlock::Repeat; break;
            case 6: b.cntMode = SBlock::Skip; break;
            case 7: {
                b.cntMode = SBlock::Raw;
                uint32_t raw = 0;
                for (int i = 0; i < 4; ++i) raw = raw << 8 | in.Byte();
                b.cnt = static_cast<int32_t>(raw);
                break;
            }
            default: b.cntMode = SBlock::Next; break;
            }
            size_t len = in.Byte();
            if (c & 0x80) len = (len << 8 | in.Byte()) % (kMaxBlockData + 1);
            b.data = in.Bytes(len);
            // A raw CNT of 0 makes a start block of the data.
            const auto* text = reinterpret_cast<const uint8_t*>(b.data.data());
            if (b.cntMode == SBlock::Raw && b.cnt == 0 && !StaysInside(text, b.data.size()))
                return std::nullopt;
            break;
        }
        case 2: b.kind = SBlock::End; break;
        default: {
            b.kind = SBlock::Start;
            b.data = in.Bytes(in.Byte());
            const auto* text = reinterpret_cast<const uint8_t*>(b.data.data());
            if (!StaysInside(text, b.data.size())) return std::nullopt;
            break;
        }
        }
        blocks.push_back(std::move(b));
    }
    // Sizes that match the data to come, so that finishes are reached often.
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (!blocks[i].autoSize) continue;
        long total = 0;
        for (size_t j = i + 1; j < blocks.size() && blocks[j].kind == SBlock::Data; ++j)
            total += static_cast<long>(blocks[j].data.size());
        blocks[i].data = std::string(blocks[i].target) + ";" +
                         std::to_string(total + blocks[i].sizeAdjust);
    }
    return blocks;
}

// The file's content, or nullopt when there is no such regular file.
std::optional<std::string> Content(const std::string& path) {
    CFileStatus fs;
    if (!GetStatus(path, fs) || (fs.m_attribute & kAttrDirectory)) return std::nullopt;
    return test::ReadWholeFile(path);
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// "<prefix><path><suffix>" -> path; nullopt when the text has another form.
std::optional<std::string> Between(const std::string& s, const char* prefix, const char* suffix) {
    const size_t p = std::strlen(prefix), q = std::strlen(suffix);
    if (s.size() < p + q || !StartsWith(s, prefix) || s.compare(s.size() - q, q, suffix) != 0)
        return std::nullopt;
    return s.substr(p, s.size() - p - q);
}

struct SHarness {
    SHarness() {
        server.SetDeviceMap({{5, pty.SlavePath()}});
        if (server.StartServer(5, 115200, nullptr, nullptr) != 1) std::abort();
        server.SetBasePath(dir.Path());
        server.SetBackupPath(dir.Path() + "BAK/");
    }
    test::CTempDir dir;
    test::CPty pty;  // only so that the port number, and with it the temp file's name, is real
    CFuzzServer server;
};

SHarness& Harness() {
    static SHarness harness;  // its scratch directory goes at a normal exit
    return harness;
}

}  // namespace
}  // namespace rs232::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace rs232;
    using namespace rs232::fuzz;
    if (size > kMaxInput) return -1;
    const auto blocks = Decode(data, size);
    if (!blocks) return -1;

    SHarness& h = Harness();
    CWorkIn inScratch(h.dir.Path());
    RestoreScratch(h.dir.Path());
    h.server.ResetUpload();
    const std::string tmpFile = h.dir.Path() + h.server.TempFileName();

    // The model: what an upload in progress has stored so far, and where it goes.
    std::string stored;
    std::string target;
    bool known = false;  // false until a start block is taken, and after a failed write
    long expected = 1;   // CNT of the next data block the model expects

    for (const SBlock& b : *blocks) {
        long cnt = b.kind == SBlock::Start ? 0 : b.kind == SBlock::End ? -1 : b.cnt;
        if (b.kind == SBlock::Data && b.cntMode != SBlock::Raw)
            cnt = expected + (b.cntMode == SBlock::Repeat ? -1 : b.cntMode == SBlock::Skip ? 1 : 0);
        std::optional<std::string> before;
        if (cnt == -1 && !target.empty()) before = Content(target);

        std::string status = "untouched";
        int result = 0;
        bool threw = false;
        try {
            result = h.server.FTBlockReceived(cnt, reinterpret_cast<const uint8_t*>(b.data.data()),
                                              static_cast<int>(b.data.size()), status);
        } catch (const CFileException&) {
            threw = true;  // allowed; what the temp file holds afterwards is unknown
        }
        if (threw) {
            known = false;
            continue;
        }
        if (result != 1) Fail("FTBlockReceived returned " + std::to_string(result));

        if (cnt == 0) {
            if (auto path = Between(status, "Receiving File ", "...")) {
                if (path->compare(0, h.dir.Path().size(), h.dir.Path()) != 0)
                    Fail("upload target outside the scratch directory: " + *path);
                target = *path;
                stored.clear();
                known = true;
                expected = 1;
            }
            continue;
        }
        if (cnt != -1) {
            if (status.empty()) {
                stored += b.data;
                expected = cnt + 1;
            }
            continue;
        }

        const std::optional<std::string> after = target.empty() ? std::nullopt : Content(target);
        if (auto path = Between(status, "Receiving and Copy and Rename (Backup) File ", " OK!")) {
            if (*path != target) Fail("finish names " + *path + ", the start named " + target);
            if (known && after != stored)
                Fail("target " + target + " does not hold the stored data after: " + status);
            if (Content(tmpFile)) Fail("temp file left after: " + status);
        } else if (!StartsWith(status, "FTBlockReceived: Error Renaming ")) {
            // Nothing else may change the target (a failed copy included).
            if (after != before) Fail("target " + target + " changed after: " + status);
        }
    }
    return 0;
}
