#include "link/PortBackend.h"

namespace rs232 {

const SPortBackendKind kPortBackends[3] = {
    {"tcp://", MakeTcpBackend,
     "Line settings of %s are fixed by the terminal server; the baud rate here does not apply"},
    {"rfc2217://", MakeRfc2217Backend, nullptr},
    {"", MakeTtyBackend, nullptr},
};

const SPortBackendKind& PortBackendKind(const std::string& device) {
    for (const SPortBackendKind& kind : kPortBackends)
        if (device.starts_with(kind.scheme)) return kind;
    return kPortBackends[2];
}

}  // namespace rs232
