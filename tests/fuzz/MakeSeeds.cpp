// Writes the seed corpora of the fuzz targets: <dir>/receiver holds client byte streams with a
// correctly framed request of every type, <dir>/upload holds encoded FT block sequences.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/Pty.h"

namespace {

using rs232::test::Bytes;
using rs232::test::MakeBlock;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An upload data operation (see FuzzUpload.cpp): next CNT, one length byte, the bytes.
Bytes UploadData(const std::string& text) {
    return Bytes{1, 0, static_cast<uint8_t>(text.size())} + Bytes(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace rs232;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const Bytes ack{ACK};
    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"receiver/enq", {ENQ}},
        {"receiver/garbage", {'x', 0x00, 0xff, STX}},
        {"receiver/dr", Bytes{ENQ} + MakeBlock("DR", 0, "")},
        {"receiver/dr_only", MakeBlock("DR", 0, "") + ack},
        {"receiver/ir", MakeBlock("IR", 0, "a.txt") + ack},
        {"receiver/ir_missing", MakeBlock("IR", 0, "none.txt") + ack},
        {"receiver/rf", MakeBlock("RF", 0, "a.txt") + ack + ack + ack},
        {"receiver/rf_big", MakeBlock("RF", 0, "big.bin") + ack + ack + ack + ack + ack},
        {"receiver/rf_cnt", MakeBlock("RF", 1, "a.txt")},
        {"receiver/df", MakeBlock("DF", 0, "a.txt")},
        {"receiver/cf", MakeBlock("CF", 0, "copy.txt\na.txt")},
        {"receiver/dl", MakeBlock("DL", 0, "list.txt\n")},
        {"receiver/dl_sub", MakeBlock("DL", 0, "list.txt\nsub")},
        {"receiver/ft", MakeBlock("FT", 0, "up.txt;12") + MakeBlock("FT", 1, "hello w") +
                            MakeBlock("FT", 2, "orld!") + MakeBlock("FT", -1, "")},
        {"receiver/ft_retry", MakeBlock("FT", 0, "a.txt;3") + MakeBlock("FT", 1, "x") +
                                  MakeBlock("FT", 1, "x") + MakeBlock("FT", 3, "z") +
                                  MakeBlock("FT", -1, "")},
        {"receiver/unknown_type", MakeBlock("XY", 0, "")},
        {"receiver/bad_crc", [b = MakeBlock("IR", 5, "a.txt")]() mutable { b[b.size() - 2] ^= 1; return b; }()},
        {"receiver/no_etx", [b = MakeBlock("DR", 0, "")]() mutable { b.back() = 'x'; return b; }()},
        {"receiver/cut", [b = MakeBlock("IR", 0, "a.txt")]() mutable { b.resize(b.size() - 4); return b; }()},
        {"receiver/long_len", Bytes{STX, 'F', 'T', ' ', ' ', ' ', ' ', ' ', '1', '9', '9', '9', '9'}},
        {"receiver/negative_len", Bytes{STX, 'F', 'T', ' ', ' ', ' ', ' ', ' ', '1', ' ', ' ', '-', '1'}},
        // start t.txt with the exact size, two data blocks, end
        {"upload/whole", Bytes{0, 0, 0} + UploadData("hello w") + UploadData("orld!") + Bytes{2}},
        {"upload/size_off", Bytes{0, 1, 2} + UploadData("abc") + Bytes{2, 2}},
        {"upload/repeat_skip", Bytes{0, 2, 0} + UploadData("one") + Bytes{1, 5, 3, 'o', 'n', 'e'} +
                                   Bytes{1, 6, 1, 'x'} + UploadData("two") + Bytes{2}},
        {"upload/copy_fails", Bytes{0, 3, 0} + UploadData("data") + Bytes{2}},
        {"upload/two_segments", Bytes{0, 4, 0} + UploadData("data") + Bytes{2, 2}},
        {"upload/no_data", Bytes{0, 0, 0, 2}},
        {"upload/temp_as_target", Bytes{0, 6, 0} + UploadData("abc") + Bytes{2}},
        {"upload/raw_start", Bytes{3, 8, 'r', '.', 't', 'x', 't', ';', '1', '0'} +
                                 UploadData("0123456789") + Bytes{2}},
        {"upload/raw_cnt", Bytes{0, 0, 0, 1, 7, 0xff, 0xff, 0xff, 0xfe, 1, 'q'} +
                               UploadData("z") + Bytes{2}},
    };
    for (const auto& [name, bytes] : seeds) {
        const std::filesystem::path path = std::filesystem::path(argv[1]) / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        if (!out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size())) return 1;
    }
    return 0;
}
