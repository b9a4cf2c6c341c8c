// rs232-nullmodem: two cross-connected pseudo-terminals reachable through stable symlinks.
//
//   rs232-nullmodem --a /tmp/ttyV0 --b /tmp/ttyV1 [--baud 57600] [--seed N]
//                   [--ber P] [--drop P] [--burst P] [--ber-ab P] [--ber-ba P] ...
//
// Prints "ready <a> <b> seed <n>" on stdout once both links exist; SIGINT, SIGTERM or SIGHUP end
// it, removing the links and printing the counts of each direction. Exit 0 after a signal,
// 1 on a failure, 64 on a usage error.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <random>

#include "NullModem.h"

using rs232::tools::CNullModem;
using rs232::tools::SDirectionCounts;
using rs232::tools::SFaults;

namespace {

void PrintCounts(const char* name, const SDirectionCounts& c) {
    std::printf("%s: bytes in %llu, bytes out %llu, bits flipped %llu, bytes dropped %llu, bursts %llu\n",
                name, static_cast<unsigned long long>(c.bytesIn),
                static_cast<unsigned long long>(c.bytesOut),
                static_cast<unsigned long long>(c.bitsFlipped),
                static_cast<unsigned long long>(c.bytesDropped),
                static_cast<unsigned long long>(c.bursts));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Virtual null-modem cable between two pseudo-terminals"};
    std::string linkA, linkB;
    long baud = 57600;
    std::optional<uint64_t> seedOpt;
    SFaults both, ab, ba;
    std::optional<double> berAB, berBA, dropAB, dropBA, burstAB, burstBA;
    auto prob = CLI::Range(0.0, 1.0);
    app.add_option("--a", linkA, "symlink for end a")->required();
    app.add_option("--b", linkB, "symlink for end b")->required();
    app.add_option("--baud", baud, "bits per second per direction, 10 bits a byte; 0 unpaced")
        ->check(CLI::Range(0L, 10'000'000L));
    app.add_option("--seed", seedOpt, "seed of the fault generator (default: random, printed)");
    app.add_option("--ber", both.ber, "bit error rate, both directions")->check(prob);
    app.add_option("--drop", both.drop, "byte drop probability, both directions")->check(prob);
    app.add_option("--burst", both.burst, "noise burst probability per byte, both directions")
        ->check(prob);
    app.add_option("--ber-ab", berAB, "bit error rate from a to b")->check(prob);
    app.add_option("--ber-ba", berBA, "bit error rate from b to a")->check(prob);
    app.add_option("--drop-ab", dropAB, "byte drop probability from a to b")->check(prob);
    app.add_option("--drop-ba", dropBA, "byte drop probability from b to a")->check(prob);
    app.add_option("--burst-ab", burstAB, "burst probability from a to b")->check(prob);
    app.add_option("--burst-ba", burstBA, "burst probability from b to a")->check(prob);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 64;
    }
    ab = both;
    ba = both;
    if (berAB) ab.ber = *berAB;
    if (berBA) ba.ber = *berBA;
    if (dropAB) ab.drop = *dropAB;
    if (dropBA) ba.drop = *dropBA;
    if (burstAB) ab.burst = *burstAB;
    if (burstBA) ba.burst = *burstBA;
    const uint64_t seed = seedOpt ? *seedOpt : std::random_device{}();

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sigFd = signalfd(-1, &set, SFD_CLOEXEC);
    if (sigFd < 0) {
        std::perror("signalfd");
        return 1;
    }

    CNullModem modem(linkA, linkB, baud, seed, ab, ba);
    if (!modem.Create()) {
        std::fprintf(stderr, "rs232-nullmodem: %s\n", modem.Error().c_str());
        return 1;
    }
    std::printf("ready %s %s seed %llu\n", linkA.c_str(), linkB.c_str(),
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);

    const bool ok = modem.Run(sigFd);
    modem.RemoveLinks();
    if (!ok) std::fprintf(stderr, "rs232-nullmodem: %s\n", modem.Error().c_str());
    PrintCounts("a->b", modem.CountsAB());
    PrintCounts("b->a", modem.CountsBA());
    std::fflush(stdout);
    close(sigFd);
    return ok ? 0 : 1;
}
