#include "server/OperatorStatus.h"

#include <algorithm>
#include <chrono>

#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"
#include "server/Rs232Server.h"

namespace rs232 {

namespace {

int DateNumber(const CLocalTime& t) { return t.year * 10000 + t.month * 100 + t.day; }

const char* LinkText(ELinkState state) {
    switch (state) {
        case ELinkState::Stopped: return "not serving";
        case ELinkState::Waiting: return "waiting for a client";
        case ELinkState::Serving: return "serving a request";
        case ELinkState::DeviceLost: return "device lost";
    }
    return "";
}

}  // namespace

SOperatorStatus DescribeStatus(const CRs232Server& server, int port, int32_t baudRate,
                               bool waitingForDevice) {
    SOperatorStatus s;
    s.device = FormatText("%s at %ld Bd", server.DeviceName(port).c_str(),
                          static_cast<long>(baudRate));
    s.link = waitingForDevice ? "waiting for the device" : LinkText(server.LinkState());
    const SActivity& activity = server.Activity();
    if (activity.lastContact == 0) {
        s.contact = "no client yet";
    } else {
        const CLocalTime t = LocalTime(activity.lastContact);
        s.contact = DateNumber(t) == DateNumber(LocalNow())
                        ? FormatText("last contact %2.2d:%2.2d:%2.2d", t.hour, t.minute, t.second)
                        : FormatText("last contact %4.4d-%2.2d-%2.2d %2.2d:%2.2d", t.year,
                                     t.month, t.day, t.hour, t.minute);
    }
    s.counts = FormatText("%ld served, %ld failed", activity.served, activity.failed);
    if (const STransfer* t = server.Transfer()) {
        const std::string name = t->file.substr(DirectoryOf(t->file).size());
        const double seconds =
            std::chrono::duration<double>(STransfer::Clock::now() - t->started).count();
        s.progress = FormatText("%s %s: %lld of %lld bytes", t->upload ? "Receiving" : "Sending",
                                name.c_str(), static_cast<long long>(t->done),
                                static_cast<long long>(t->total));
        if (seconds >= 1) s.rate = FormatText("%.0f B/s", t->done / seconds);
        s.percent = t->total > 0 ? static_cast<int>(std::min<int64_t>(100, t->done * 100 / t->total))
                                 : 0;
    }
    return s;
}

std::string SOperatorStatus::Line() const {
    return device + ", " + link + ", " + contact + ", " + counts;
}

}  // namespace rs232
