// Rules every request handler shares: the CNT check, the request text, the two-path split and
// the framing and sending of a reply block.
#include <cstring>
#include <vector>

#include "link/Rs232Server.h"
#include "services/TextFormat.h"

namespace rs232 {

bool CRs232Server::AcceptOnlyCntZero(long cnt, const char* type, std::string& status) {
    if (cnt == 0) return true;
    status = FormatText("Error: %s Block only with CNT 0 allowed", type);
    return false;
}

std::string CRs232Server::RequestText(const uint8_t* data, int len) {
    if (data == nullptr || len <= 0) return {};
    const auto* begin = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(begin, 0, static_cast<size_t>(len));
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - begin)
                         : static_cast<size_t>(len);
    return std::string(begin, n);
}

// The parts come back as raw bytes (a NUL stays in them): the callers check their lengths first
// and then cut each at its first NUL with RequestText.
bool CRs232Server::SplitTwoPaths(const uint8_t* data, int len, std::string& first,
                                 std::string& second) {
    if (data == nullptr || len <= 0) return false;
    const void* lf = std::memchr(data, '\n', static_cast<size_t>(len));
    if (lf == nullptr) return false;
    const int i = static_cast<int>(static_cast<const uint8_t*>(lf) - data);
    if (i == 0) return false;
    const auto* text = reinterpret_cast<const char*>(data);
    first.assign(text, static_cast<size_t>(i));
    second.assign(text + i + 1, static_cast<size_t>(len - i - 1));
    return true;
}

int CRs232Server::SendReplyBlock(const char* type, long cnt, const void* data, int len) {
    std::vector<uint8_t> block(static_cast<size_t>(len) + kBlockOverhead);
    int length = 0;
    BuildBlock(type, cnt, len, data, block.data(), length);
    return SendBlockRetry(block.data(), length);
}

}  // namespace rs232
