// [TLS] CA, CERT and KEY in the settings file, as the server and the client read them.
#pragma once

#include "link/PortBackend.h"
#include "platform/SettingsFile.h"

namespace rs232 {

inline STlsFiles ReadTlsSettings(const CIniFile& ini) {
    return {ini.GetValue("TLS", "CA", ""), ini.GetValue("TLS", "CERT", ""),
            ini.GetValue("TLS", "KEY", "")};
}

}  // namespace rs232
