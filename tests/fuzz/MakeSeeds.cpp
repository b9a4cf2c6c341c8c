// Writes the seed corpus of the fuzz target (see FuzzRequests.cpp for the encoding): every request
// type with answers for its replies, uploads that finish, fail and repeat, and damaged frames.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/Pty.h"

namespace {

using rs232::test::Bytes;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
// An FT data block with the next CNT; a request of type index t with n ACKs; raw bytes.
Bytes Data(const std::string& s) { return Bytes{1, 0, static_cast<uint8_t>(s.size())} + Text(s); }
Bytes Request(uint8_t t, uint8_t acks, const std::string& s) {
    return Bytes{3, t, static_cast<uint8_t>(acks * 4), static_cast<uint8_t>(s.size())} + Text(s);
}
Bytes Raw(const Bytes& b) { return Bytes{4, static_cast<uint8_t>(b.size())} + b; }

}  // namespace

int main(int argc, char** argv) {
    using namespace rs232;
    if (argc != 2) return 2;
    Bytes badCrc = test::MakeBlock("IR", 5, "a.txt"), cut = test::MakeBlock("IR", 0, "a.txt");
    badCrc[badCrc.size() - 2] ^= 1;
    cut.resize(cut.size() - 4);
    const std::vector<Bytes> seeds = {
        Request(0, 1, "") + Request(1, 1, "a.txt") + Request(1, 1, "none"),
        Request(2, 3, "a.txt") + Request(2, 5, "big.bin"),
        Request(3, 0, "a.txt") + Request(4, 0, "copy.txt\na.txt") + Request(5, 0, "list.txt\nsub"),
        Request(6, 0, "up.txt;5") + Request(7, 0, "x") + Bytes{3, 2, 3, 1, 0},  // RF with CNT 1
        Bytes{0, 0, 0} + Data("hello w") + Data("orld!") + Bytes{2},             // t.txt, exact size
        Bytes{0, 1, 2} + Data("abc") + Bytes{2, 2},                              // size off by one
        Bytes{0, 2, 0} + Data("one") + Bytes{1, 5, 3, 'o', 'n', 'e', 1, 6, 1, 'x'} + Data("two") + Bytes{2},
        Bytes{0, 3, 0} + Data("data") + Bytes{2},                                // the copy fails
        Bytes{0, 6, 0} + Data("abc") + Bytes{2},                                 // the temp file as target
        Bytes{0, 0, 0, 1, 7, 0xff, 0xff, 0xff, 0xfe, 1, 'q'} + Data("z") + Bytes{2},
        Raw(Bytes{ENQ, 'x', 0x00, 0xff}) + Raw(badCrc) + Raw(cut) + Raw(Text("\x02" "FT     1 521")),
    };
    for (size_t i = 0; i < seeds.size(); ++i) {
        const std::filesystem::path path = std::filesystem::path(argv[1]) / ("seed" + std::to_string(i));
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        if (!out.write(reinterpret_cast<const char*>(seeds[i].data()), seeds[i].size())) return 1;
    }
    return 0;
}
