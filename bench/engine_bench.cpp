// Packet engine figures, measured in one run on loopback:
//  (a) processor time spent by a discovery that nobody answers, as a share of its wall time
//      (the engine waits in poll(), so this should be a fraction of a percent);
//  (b) the engine's added latency: probes through _SendPacket against one simulated module,
//      next to the same packet sent and received on a plain socket to the same module.
// Usage: engine_bench [round trips, default 2000]
#include "nli.h"
#include "nlisim/sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int boundSocket(sockaddr_in* address) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    *address = loopback(0);
    socklen_t len = sizeof *address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(address), sizeof *address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(address), &len) != 0) {
        std::perror("engine_bench: loopback socket");
        std::exit(1);
    }
    return fd;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void quietDiscovery(NLITransport* transport) {
    // Broadcasts go to a loopback socket that never answers.
    sockaddr_in silent{};
    int fd = boundSocket(&silent);
    char text[32];
    std::snprintf(text, sizeof text, "127.0.0.1:%u", ntohs(silent.sin_port));
    NLISetBroadcastAddress(text);
    uint32_t saved = NLISetQueryTimeout(600);

    std::printf("(a) discovery with nobody answering, query time-out 600 ms\n");
    double worst = 0;
    for (int run = 0; run < 3; ++run) {
        NLIDevice found[4];
        uint16_t count = 4;
        double wall0 = seconds(CLOCK_MONOTONIC), cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        int32_t rc = NLIQueryDevices(transport, found, &count, NLI_INTERFACE_VERSION);
        double wall = seconds(CLOCK_MONOTONIC) - wall0;
        double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        double share = 100.0 * cpu / wall;
        worst = std::max(worst, share);
        std::printf(
            "    run %d: result %d, %u found, wall %.1f ms, processor %.3f ms, share %.3f %%\n",
            run + 1, rc, count, wall * 1e3, cpu * 1e3, share);
    }
    std::printf("    highest share %.3f %% (limit 5 %%): %s\n", worst,
                worst < 5.0 ? "ok" : "TOO HIGH");
    NLISetQueryTimeout(saved);
    NLISetBroadcastAddress(nullptr);
    close(fd);
}

void latency(NLITransport* transport, int rounds) {
    nlisim::Simulator sim(nlisim::Plant::fromJson(
        nlisim::Json::parse(R"({"modules":[{"mac":"00:E0:62:00:00:01"}]})")));
    sim.start();
    const sockaddr_in module = loopback(sim.moduleEndpoint(0).port);

    NLIDevice device;
    std::memset(&device, 0, sizeof device);
    std::memcpy(device.address, &module, sizeof module);
    if (NLIOpenDevice(transport, &device, NLI_INTERFACE_VERSION, 1000, 0, 0) != 0) {
        std::fprintf(stderr, "engine_bench: cannot open the device\n");
        std::exit(1);
    }
    sockaddr_in local{};
    int raw = boundSocket(&local);
    connect(raw, reinterpret_cast<const sockaddr*>(&module), sizeof module);

    std::vector<double> engine, plain;
    engine.reserve(static_cast<size_t>(rounds));
    plain.reserve(static_cast<size_t>(rounds));
    uint16_t rawSequence = 0x8000;
    int failures = 0;
    for (int k = 0; k < rounds + 50; ++k) { // the first 50 of each warm up
        uint8_t request[10] = {};
        uint8_t answer[200];
        uint16_t length = sizeof answer;
        double t0 = seconds(CLOCK_MONOTONIC);
        int32_t rc = _SendPacket(&device, request, sizeof request, answer, &length, 1, 0);
        double t1 = seconds(CLOCK_MONOTONIC);
        if (rc != 0) ++failures;

        // The same probe by hand: header (the CRC of the single byte 0x00 is 0), send, wait,
        // receive.
        uint8_t packet[10] = {0x4B, 0x56, 0x52, 0, 0, 0, 0, 1, 0, 0x00};
        packet[3] = static_cast<uint8_t>(rawSequence);
        packet[4] = static_cast<uint8_t>(rawSequence >> 8);
        ++rawSequence;
        double t2 = seconds(CLOCK_MONOTONIC);
        send(raw, packet, sizeof packet, 0);
        pollfd p{raw, POLLIN, 0};
        bool got = poll(&p, 1, 1000) == 1 && recv(raw, answer, sizeof answer, 0) > 0;
        double t3 = seconds(CLOCK_MONOTONIC);
        if (!got) ++failures;
        if (k >= 50) {
            engine.push_back((t1 - t0) * 1e6);
            plain.push_back((t3 - t2) * 1e6);
        }
    }
    double em = percentile(engine, 0.5), e99 = percentile(engine, 0.99);
    double pm = percentile(plain, 0.5), p99 = percentile(plain, 0.99);
    std::printf("(b) probe round trips to one simulated module, %d each, alternating\n", rounds);
    std::printf("    plain socket   median %8.1f us   p99 %8.1f us\n", pm, p99);
    std::printf("    _SendPacket    median %8.1f us   p99 %8.1f us\n", em, e99);
    std::printf("    engine adds    median %8.1f us (x%.2f)   p99 %8.1f us (x%.2f)\n", em - pm,
                em / pm, e99 - p99, e99 / p99);
    if (failures) std::printf("    %d round trips failed\n", failures);
    close(raw);
    NLICloseDevice(&device);
    sim.stop();
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds < 10) rounds = 10;
    if (NLIOpen(NLI_INTERFACE_VERSION) != 0) return 1;
    NLITransport transport;
    std::memset(&transport, 0, sizeof transport);
    transport.kind = TRANSPORT_WINSOCK;
    transport.protocol = PROTOCOL_UDPIP;
    // Every broadcast of this program is aimed at loopback before any is sent.
    setenv("NLI_BROADCAST_ADDRESS", "127.0.0.1:9", 1);
    if (NLIOpenTransport(&transport, NLI_INTERFACE_VERSION, nullptr) != 0) return 1;
    quietDiscovery(&transport);
    latency(&transport, rounds);
    NLICloseTransport(&transport);
    NLIClose();
    return 0;
}
