// No service manager speaks this protocol on Windows: nothing is sent, no stream is a journal.
#include "platform/ServiceManager.h"

namespace rs232 {

CNotifySocket::CNotifySocket() = default;
CNotifySocket::~CNotifySocket() = default;
bool CNotifySocket::Send(const std::string&) const { return false; }
bool IsJournalStream(int) { return false; }

}  // namespace rs232
