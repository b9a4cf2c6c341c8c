// Measures how closely the null-modem's pacing follows its baud rate: the time for a block of
// bytes against 10 bits per byte. Prints the deviation; exits 1 when it exceeds 2%.
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "Process.h"
#include "ToolPaths.h"
#include "support/TempDir.h"

using namespace rs232::test;

int main() {
    int failures = 0;
    const struct { long baud; size_t bytes; } cases[] = {{9600, 8192}, {57600, 40000},
                                                        {115200, 80000}};
    for (const auto& c : cases) {
        CTempDir dir;
        CChild modem({RS232_NULLMODEM, "--a", dir / "a", "--b", dir / "b", "--baud",
                      std::to_string(c.baud)});
        if (!modem.WaitForLine("ready", std::chrono::seconds(10))) return 2;
        CLineEnd a(dir / "a"), b(dir / "b");
        const auto data = PatternBytes(c.bytes, 9);
        const auto start = std::chrono::steady_clock::now();
        std::thread writer([&] { a.Write(data); });  // more than the buffers on the way hold
        const auto got = b.Read(data.size(), std::chrono::seconds(60));
        writer.join();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double nominal = static_cast<double>(c.bytes) * 10 / static_cast<double>(c.baud);
        const double deviation = (seconds - nominal) / nominal * 100;
        const bool ok = got == data && std::fabs(deviation) <= 2.0;
        std::printf("%7ld baud, %6zu bytes: %.3f s, nominal %.3f s, deviation %+.2f%% %s\n",
                    c.baud, c.bytes, seconds, nominal, deviation, ok ? "ok" : "FAIL");
        std::fflush(stdout);
        failures += ok ? 0 : 1;
        modem.Stop(SIGTERM, std::chrono::seconds(5));
    }
    return failures ? 1 : 0;
}
