// DR: answers with one DT block carrying the current calendar time as decimal seconds since
// 1970 UTC.
//
// A clock outside the signed 32-bit range (before December 1901 or after January 2038) is sent
// as its true value all the same: the DT data is text with its own LEN, so the wider number fits
// the frame, and a client that reads it sees more digits than it expects instead of a plausible
// but wrong time. Clamping would hand the client a believable lie (every such clock would read
// 2038-01-19), and withholding the reply would only look like a dead line. The status text says
// the clock was out of range so the operator can see why a client might object.
#include <climits>

#include "server/Rs232Server.h"
#include "platform/Clock.h"
#include "platform/TextFormat.h"

namespace rs232 {

SPollEvent CRs232Server::DRBlockReceived(long cnt, const uint8_t* /*data*/, int /*len*/) {
    const int64_t now = CurrentTime();
    std::string status;
    if (!AcceptOnlyCntZero(cnt, "DR", status)) return Refused(status);

    const std::string text = FormatText("%lld", static_cast<long long>(now));
    if (SendReplyBlock("DT", 0, text.data(), static_cast<int>(text.size())) != 1)
        return Failed("Error while sending DT Block!");
    if (now < INT32_MIN || now > INT32_MAX)
        return Served(FormatText("Actual date/time transmitted to Client! Clock %lld is outside "
                                 "the 32-bit range",
                                 static_cast<long long>(now)),
                      EEventLevel::Warning);
    return Served("Actual date/time transmitted to Client!");
}

}  // namespace rs232
