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
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "platform/FileOps.h"

namespace rs232::fuzz {
namespace {

// Targets relative to the base directory. The temp file's own name is among them: the client
// can name any file, that one included.
const char* const kTargets[] = {
    "t.txt", "a.txt", "sub\\u.bin", "nodir\\v.txt", "first;second.txt", "sub", "FT_TMP05.TMP",
};

struct SBlock {
    enum Kind { Start, Data, End } kind = Data;
    enum CntMode { Next, Repeat, Skip, Raw } cntMode = Next;
    long cnt = 0;        // raw CNT only
    int target = -1;     // a start block from kTargets: its index; the size is filled in later
    int sizeAdjust = 0;
    std::string data;
};

std::optional<std::vector<SBlock>> Decode(const uint8_t* data, size_t size) {
    size_t pos = 0;
    auto byte = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
    auto bytes = [&](size_t n) {
        n = std::min(n, size - pos);
        pos += n;
        return std::string(reinterpret_cast<const char*>(data + pos - n), n);
    };
    auto inside = [](const std::string& s) {
        return StaysInside(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    std::vector<SBlock> blocks;
    while (pos < size) {
        SBlock b;
        switch (byte() % 4) {
        case 0: {
            b.kind = SBlock::Start;
            b.target = static_cast<int>(byte() % std::size(kTargets));
            const uint8_t s = byte() % 4;
            b.sizeAdjust = s == 2 ? 1 : s == 3 ? -1 : 0;
            break;
        }
        case 1: {
            const uint8_t c = byte();
            b.cntMode = c % 8 == 5 ? SBlock::Repeat
                        : c % 8 == 6 ? SBlock::Skip
                        : c % 8 == 7 ? SBlock::Raw
                                     : SBlock::Next;
            uint32_t raw = 0;
            for (int i = 0; b.cntMode == SBlock::Raw && i < 4; ++i) raw = raw << 8 | byte();
            b.cnt = static_cast<int32_t>(raw);
            size_t len = byte();
            if (c & 0x80) len = (len << 8 | byte()) % (kMaxBlockData + 1);
            b.data = bytes(len);
            // A raw CNT of 0 makes a start block of the data.
            if (b.cntMode == SBlock::Raw && b.cnt == 0 && !inside(b.data)) return std::nullopt;
            break;
        }
        case 2: b.kind = SBlock::End; break;
        default:
            b.kind = SBlock::Start;
            b.data = bytes(byte());
            if (!inside(b.data)) return std::nullopt;
        }
        blocks.push_back(std::move(b));
    }
    // Sizes that match the data to come, so that finishes are reached often.
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].target < 0) continue;
        long total = blocks[i].sizeAdjust;
        for (size_t j = i + 1; j < blocks.size() && blocks[j].kind == SBlock::Data; ++j)
            total += static_cast<long>(blocks[j].data.size());
        blocks[i].data = kTargets[blocks[i].target] + (";" + std::to_string(total));
    }
    return blocks;
}

// The file's content, or nullopt when there is no such regular file.
std::optional<std::string> Content(const std::string& path) {
    CFileStatus fs;
    if (!GetStatus(path, fs) || (fs.m_attribute & kAttrDirectory)) return std::nullopt;
    return test::ReadWholeFile(path);
}

// "<prefix><path><suffix>" -> path; nullopt when the text has another form.
std::optional<std::string> Between(const std::string& s, const std::string& prefix,
                                   const std::string& suffix) {
    if (s.size() < prefix.size() + suffix.size() || !s.starts_with(prefix) || !s.ends_with(suffix))
        return std::nullopt;
    return s.substr(prefix.size(), s.size() - prefix.size() - suffix.size());
}

}  // namespace
}  // namespace rs232::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace rs232;
    using namespace rs232::fuzz;
    const auto blocks = size <= 8192 ? Decode(data, size) : std::nullopt;
    if (!blocks) return -1;
    static CHarness h(5);
    CWorkIn inScratch(h.dir.Path());
    h.Restore();

    // The model: what an upload in progress has stored so far, and where it goes.
    std::string stored, target;
    bool known = false;  // false until a start block is taken, and after a failed write
    long expected = 1;   // CNT of the next data block the model expects
    for (const SBlock& b : *blocks) {
        long cnt = b.kind == SBlock::Start ? 0 : b.kind == SBlock::End ? -1 : b.cnt;
        if (b.kind == SBlock::Data && b.cntMode != SBlock::Raw)
            cnt = expected + (b.cntMode == SBlock::Repeat ? -1 : b.cntMode == SBlock::Skip ? 1 : 0);
        const auto before = cnt == -1 ? Content(target) : std::nullopt;
        std::string status = "untouched";
        try {
            const int result = h.FTBlockReceived(
                cnt, reinterpret_cast<const uint8_t*>(b.data.data()), static_cast<int>(b.data.size()), status);
            if (result != 1) Fail("FTBlockReceived returned " + std::to_string(result));
        } catch (const CFileException&) {
            known = false;  // allowed; what the temp file holds afterwards is unknown
            continue;
        }
        if (cnt == 0) {
            if (auto path = Between(status, "Receiving File ", "...")) {
                if (!path->starts_with(h.dir.Path()))
                    Fail("upload target outside the scratch directory: " + *path);
                target = *path;
                stored.clear();
                known = true;
                expected = 1;
            }
        } else if (cnt != -1) {
            if (status.empty()) {
                stored += b.data;
                expected = cnt + 1;
            }
        } else if (auto path = Between(status, "Receiving and Copy and Rename (Backup) File ", " OK!")) {
            if (*path != target) Fail("finish names " + *path + ", the start named " + target);
            if (known && Content(target) != stored)
                Fail("target " + target + " does not hold the stored data after: " + status);
            if (Content(h.TempFile())) Fail("temp file left after: " + status);
        } else if (!status.starts_with("FTBlockReceived: Error Renaming ") &&
                   Content(target) != before) {
            // Nothing else may change the target, a failed copy included.
            Fail("target " + target + " changed after: " + status);
        }
    }
    return 0;
}
