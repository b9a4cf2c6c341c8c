// Writes the seed corpora of the fuzz targets: <dir>/receiver holds client byte streams with a
// correctly framed request of every type, <dir>/upload holds encoded FT block sequences.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link/Block.h"
#include "support/Pty.h"

namespace {

using rs232::test::Bytes;
using rs232::test::MakeBlock;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool Save(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// An upload data operation (see FuzzUpload.cpp): next CNT, one length byte, the bytes.
Bytes UploadData(const std::string& text) {
    Bytes b{1, 0, static_cast<uint8_t>(text.size())};
    return b + Bytes(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace rs232;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    mkdir((root + "/receiver").c_str(), 0755);
    mkdir((root + "/upload").c_str(), 0755);

    const Bytes ack{ACK};
    const std::vector<std::pair<std::string, Bytes>> receiver = {
        {"enq", {ENQ}},
        {"garbage", {'x', 0x00, 0xff, STX}},
        {"dr", Bytes{ENQ} + MakeBlock("DR", 0, "")},
        {"dr_only", MakeBlock("DR", 0, "") + ack},
        {"ir", MakeBlock("IR", 0, "a.txt") + ack},
        {"ir_missing", MakeBlock("IR", 0, "none.txt") + ack},
        {"rf", MakeBlock("RF", 0, "a.txt") + ack + ack + ack},
        {"rf_big", MakeBlock("RF", 0, "big.bin") + ack + ack + ack + ack + ack},
        {"rf_cnt", MakeBlock("RF", 1, "a.txt")},
        {"df", MakeBlock("DF", 0, "a.txt")},
        {"cf", MakeBlock("CF", 0, "copy.txt\na.txt")},
        {"dl", MakeBlock("DL", 0, "list.txt\n")},
        {"dl_sub", MakeBlock("DL", 0, "list.txt\nsub")},
        {"ft", MakeBlock("FT", 0, "up.txt;12") + MakeBlock("FT", 1, "hello w") +
                   MakeBlock("FT", 2, "orld!") + MakeBlock("FT", -1, "")},
        {"ft_retry", MakeBlock("FT", 0, "a.txt;3") + MakeBlock("FT", 1, "x") +
                         MakeBlock("FT", 1, "x") + MakeBlock("FT", 3, "z") +
                         MakeBlock("FT", -1, "")},
        {"unknown_type", MakeBlock("XY", 0, "")},
        {"bad_crc", [] {
             Bytes b = MakeBlock("IR", 5, "a.txt");
             b[b.size() - 2] ^= 1;
             return b;
         }()},
        {"no_etx", [] {
             Bytes b = MakeBlock("DR", 0, "");
             b.back() = 'x';
             return b;
         }()},
        {"cut", [] {
             Bytes b = MakeBlock("IR", 0, "a.txt");
             b.resize(b.size() - 4);
             return b;
         }()},
        {"long_len", Bytes{STX, 'F', 'T', ' ', ' ', ' ', ' ', ' ', '1', '9', '9', '9', '9'}},
        {"negative_len", Bytes{STX, 'F', 'T', ' ', ' ', ' ', ' ', ' ', '1', ' ', ' ', '-', '1'}},
    };
    const std::vector<std::pair<std::string, Bytes>> upload = {
        // start t.txt with the exact size, two data blocks, end
        {"whole", Bytes{0, 0, 0} + UploadData("hello w") + UploadData("orld!") + Bytes{2}},
        {"size_off", Bytes{0, 1, 2} + UploadData("abc") + Bytes{2, 2}},
        {"repeat_skip", Bytes{0, 2, 0} + UploadData("one") + Bytes{1, 5, 3, 'o', 'n', 'e'} +
                            Bytes{1, 6, 1, 'x'} + UploadData("two") + Bytes{2}},
        {"copy_fails", Bytes{0, 3, 0} + UploadData("data") + Bytes{2}},
        {"two_segments", Bytes{0, 4, 0} + UploadData("data") + Bytes{2, 2}},
        {"no_data", Bytes{0, 0, 0, 2}},
        {"temp_as_target", Bytes{0, 6, 0} + UploadData("abc") + Bytes{2}},
        {"raw_start", Bytes{3, 8, 'r', '.', 't', 'x', 't', ';', '1', '0'} +
                          UploadData("0123456789") + Bytes{2}},
        {"raw_cnt", Bytes{0, 0, 0, 1, 7, 0xff, 0xff, 0xff, 0xfe, 1, 'q'} + UploadData("z") +
                        Bytes{2}},
    };
    for (const auto& [name, bytes] : receiver)
        if (!Save(root + "/receiver/" + name, bytes)) return 1;
    for (const auto& [name, bytes] : upload)
        if (!Save(root + "/upload/" + name, bytes)) return 1;
    return 0;
}
