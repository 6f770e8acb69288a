// tessan3-sim: serves a plant of simulated modules on loopback until SIGINT or SIGTERM.
// Usage and plant-file format: sim/README.md.
#include "nlisim/sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace {

const char* kUsage =
    "usage: tessan3-sim [--plant FILE | --generate N] [--seed S] [--bind ADDR] [--port P]\n"
    "                   [--serial INDEX] [--save FILE] [--verbose]\n"
    "  --plant FILE    the plant to serve (JSON); default: a small demonstration plant\n"
    "  --generate N    a generated plant of N modules\n"
    "  --seed S        seed of the generated plant and of the faults (overrides the file's)\n"
    "  --bind ADDR     address of every endpoint (default 127.0.0.1)\n"
    "  --port P        port of the broadcast endpoint (default 0: any free port)\n"
    "  --serial INDEX  also serve module INDEX on a pseudo-terminal\n"
    "  --save FILE     write the plant, with its changes, to FILE when stopped\n"
    "  --verbose       log every request to standard error\n";

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr, "tessan3-sim: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

bool parseNumber(const char* text, unsigned long long max, unsigned long long& out) {
    if (!text || !*text || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

const char* familyName(uint8_t family) {
    switch (family) {
    case 0:
        return "NBX";
    case 1:
        return "LCM";
    case 2:
        return "XPLC";
    case 3:
        return "DVX";
    case 4:
        return "MTR";
    case 6:
        return "ZT";
    case 7:
        return "FBS";
    case 8:
        return "FBSC";
    default:
        return "?";
    }
}

} // namespace

int main(int argc, char** argv) {
    std::optional<std::string> plantFile, saveFile;
    std::optional<unsigned long long> generate, seed;
    nlisim::Options options;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage(arg + " needs a value");
            return argv[++i];
        };
        unsigned long long n = 0;
        if (arg == "--plant")
            plantFile = value();
        else if (arg == "--generate") {
            if (!parseNumber(value(), 100000, n)) usage("--generate needs a count 0..100000");
            generate = n;
        } else if (arg == "--seed") {
            if (!parseNumber(value(), ~0ULL, n)) usage("--seed needs an unsigned number");
            seed = n;
        } else if (arg == "--bind")
            options.bindAddress = value();
        else if (arg == "--port") {
            if (!parseNumber(value(), 65535, n)) usage("--port needs a port 0..65535");
            options.broadcastPort = static_cast<uint16_t>(n);
        } else if (arg == "--serial") {
            if (!parseNumber(value(), 1000000, n)) usage("--serial needs a module index");
            options.serial = true;
            options.serialModule = static_cast<size_t>(n);
        } else if (arg == "--save")
            saveFile = value();
        else if (arg == "--verbose")
            options.verbose = true;
        else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else
            usage("unknown argument \"" + arg + "\"");
    }
    if (plantFile && generate) usage("--plant and --generate exclude each other");

    nlisim::Plant plant;
    try {
        if (plantFile)
            plant = nlisim::Plant::fromFile(*plantFile);
        else if (generate)
            plant = nlisim::Plant::generate(*generate, seed.value_or(1));
        else
            plant = nlisim::Plant::demo();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessan3-sim: %s\n", e.what());
        return 1;
    }
    if (seed) plant.seed = *seed;

    // The signals are taken by sigwait below; blocked before the simulator's thread starts so
    // that it inherits the mask and never receives them.
    // A script that starts us in the background hands us SIGINT ignored; we still want it, and
    // a closed output pipe must not end us before the plant is saved.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    nlisim::Simulator sim(std::move(plant), options);
    try {
        sim.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessan3-sim: %s\n", e.what());
        return 1;
    }

    size_t count = sim.moduleCount();
    std::printf("tessan3-sim: %zu module%s\n", count, count == 1 ? "" : "s");
    std::printf("broadcast %s\n", sim.broadcastEndpoint().text().c_str());
    // Above 20 modules the list is cut to its first 10 and last 5 lines.
    sim.withPlant([&](nlisim::Plant& p) {
        for (size_t i = 0; i < count; ++i) {
            if (count > 20 && i == 10) {
                std::printf("... %zu more modules ...\n", count - 15);
                i = count - 6;
                continue;
            }
            const nlisim::Module& m = p.modules[i];
            std::printf("module %zu %s %s %s \"%s\"%s\n", i, nlisim::macToString(m.mac).c_str(),
                        sim.moduleEndpoint(i).text().c_str(), familyName(m.family), m.name.c_str(),
                        m.ipNotSet ? " (no IP address)" : "");
        }
        return 0;
    });
    if (options.serial)
        std::printf("serial %s (module %zu)\n", sim.serialPath().c_str(), options.serialModule);
    std::printf("export NLI_BROADCAST_ADDRESS=%s\n", sim.broadcastEndpoint().text().c_str());
    if (options.serial) std::printf("export NLI_COM1=%s\n", sim.serialPath().c_str());
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    sim.stop();
    std::fprintf(stderr, "tessan3-sim: stopped by %s\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    if (saveFile) {
        try {
            sim.savePlant(*saveFile);
            std::fprintf(stderr, "tessan3-sim: plant saved to %s\n", saveFile->c_str());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tessan3-sim: %s\n", e.what());
            return 1;
        }
    }
    return 0;
}
