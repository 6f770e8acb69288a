// labels: integration
// The true default broadcast destination, 255.255.255.255:0x7070, inside a private network made
// by the test: two new network namespaces joined by a veth pair (10.77.0.1/24 and 10.77.0.2/24).
// The simulated plant serves 0.0.0.0:0x7070 in one; the library, with no broadcast destination
// set, discovers it from the other. Nothing here ever runs in the machine's own network
// namespace: each side unshares its namespace first and checks that it left the original one.
// The namespaces (and the veth pair) disappear with the two child processes.
#include "nli.h"
#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kSkip = 77; // the environment does not allow the test
constexpr int kChildLimitSeconds = 30;

std::string networkNamespace() {
    char link[128] = {};
    ssize_t n = readlink("/proc/self/ns/net", link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

void sendByte(int fd, char c) {
    [[maybe_unused]] ssize_t n = write(fd, &c, 1);
}

char awaitByte(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return 0;
    char c = 0;
    return read(fd, &c, 1) == 1 ? c : 0;
}

// Leaves the original network namespace; false when this is not permitted or did not happen.
bool enterPrivateNetwork(const std::string& original) {
    if (unshare(CLONE_NEWNET) != 0) return false;
    return !original.empty() && networkNamespace() != original;
}

// Library side: no broadcast destination configured, default everything.
int librarySide(const std::string& original, int goFd, int reportFd) {
    alarm(kChildLimitSeconds);
    if (!enterPrivateNetwork(original)) return kSkip;
    sendByte(reportFd, 'n'); // namespace ready: the veth end may be moved in
    if (awaitByte(goFd, 15000) != 'g') return 10;
    if (!run("ip link set lo up && ip addr add 10.77.0.2/24 dev tsnveth1 && "
             "ip link set tsnveth1 up && ip route add default dev tsnveth1"))
        return kSkip;
    // Only here, inside the private network, is the destination left at its default.
    unsetenv("NLI_BROADCAST_ADDRESS");
    NLISetBroadcastAddress(nullptr);

    if (NLIOpen(NLI_INTERFACE_VERSION) != 0) return 11;
    NLITransport t;
    std::memset(&t, 0, sizeof t);
    t.kind = TRANSPORT_WINSOCK;
    t.protocol = PROTOCOL_UDPIP;
    if (NLIOpenTransport(&t, NLI_INTERFACE_VERSION, nullptr) != 0) return 12;
    if (NLIGetQueryTimeout() != 600) return 13;

    NLIDevice found[8];
    std::memset(found, 0, sizeof found);
    uint16_t count = 0;
    // The link may take a moment to come up; a few queries at most.
    for (int attempt = 0; attempt < 5 && count < 2; ++attempt) {
        count = 8;
        if (NLIQueryDevices(&t, found, &count, NLI_INTERFACE_VERSION) != 0) count = 0;
    }
    if (count != 2) {
        std::fprintf(stderr, "default broadcast: %u modules found, 2 expected\n", count);
        return 20;
    }
    for (uint16_t k = 0; k < count; ++k) {
        sockaddr_in from{};
        std::memcpy(&from, found[k].address, sizeof from);
        if (from.sin_family != AF_INET || ntohl(from.sin_addr.s_addr) != 0x0A4D0001) return 21;
        if (found[k].ethernetAddress[0] != 0x00 || found[k].ethernetAddress[1] != 0xE0) return 22;
        // Opened both ways: directly, and in the addressed form sent to the default broadcast.
        for (uint32_t broadcast : {0u, 1u}) {
            NLIDevice d = found[k];
            if (NLIOpenDevice(&t, &d, 3, 300, 2, broadcast) != 0) return 23;
            uint8_t request[17] = {};
            uint8_t answer[200];
            uint16_t length = sizeof answer;
            int32_t rc = _SendPacket(&d, request, d.headerLength + 1u, answer, &length, 1, 0);
            NLICloseDevice(&d);
            if (rc != 0 || length != 11) return 24;
        }
    }
    NLICloseTransport(&t);
    NLIClose();
    return 0;
}

// Module side: the plant on 0.0.0.0, broadcast port 0x7070, until told to stop.
int moduleSide(const std::string& original, pid_t libraryPid, int stopFd, int reportFd) {
    alarm(kChildLimitSeconds);
    if (!enterPrivateNetwork(original)) return kSkip;
    if (!run("ip link set lo up && ip link add tsnveth0 type veth peer name tsnveth1 && "
             "ip link set tsnveth1 netns " +
             std::to_string(libraryPid) +
             " && ip addr add 10.77.0.1/24 dev tsnveth0 && ip link set tsnveth0 up"))
        return kSkip;
    nlisim::Options options;
    options.bindAddress = "0.0.0.0";
    options.broadcastPort = MODULE_PORT;
    nlisim::Simulator sim(nlisim::Plant::fromJson(nlisim::Json::parse(
                              R"({"modules":[{"mac":"00:E0:62:0A:0B:01"},
                                             {"mac":"00:E0:62:0A:0B:02"}]})")),
                          options);
    try {
        sim.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "default broadcast: %s\n", e.what());
        return 30;
    }
    sendByte(reportFd, 's'); // serving
    awaitByte(stopFd, kChildLimitSeconds * 1000);
    uint64_t broadcasts = sim.counters().packetsReceived;
    sim.stop();
    return broadcasts > 0 ? 0 : 31;
}

int waitChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TEST(DefaultBroadcast, DiscoversModulesInAPrivateNetwork) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    if (!run("ip -V >/dev/null 2>&1")) GTEST_SKIP() << "no ip command";
    const std::string original = networkNamespace();
    if (original.empty()) GTEST_SKIP() << "cannot read this process's network namespace";

    // Each pipe is made just before its child, so that a child that dies closes the only
    // writing end and the wait for it ends at once.
    int go[2], libReport[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(libReport), 0);
    pid_t library = fork();
    ASSERT_GE(library, 0);
    if (library == 0) {
        close(go[1]);
        close(libReport[0]);
        _exit(librarySide(original, go[0], libReport[1]));
    }
    close(go[0]);
    close(libReport[1]);
    if (awaitByte(libReport[0], 10000) != 'n') {
        kill(library, SIGKILL);
        int rc = waitChild(library);
        close(go[1]);
        close(libReport[0]);
        if (rc == kSkip) GTEST_SKIP() << "network namespaces are not permitted here";
        FAIL() << "library side did not start (" << rc << ")";
    }

    int stop[2], modReport[2];
    ASSERT_EQ(pipe(stop), 0);
    ASSERT_EQ(pipe(modReport), 0);
    pid_t modules = fork();
    ASSERT_GE(modules, 0);
    if (modules == 0) {
        close(go[1]);
        close(libReport[0]);
        close(stop[1]);
        close(modReport[0]);
        _exit(moduleSide(original, library, stop[0], modReport[1]));
    }
    close(stop[0]);
    close(modReport[1]);
    const bool serving = awaitByte(modReport[0], 15000) == 's';
    if (serving)
        sendByte(go[1], 'g');
    else
        kill(library, SIGKILL);
    int libraryResult = waitChild(library);
    sendByte(stop[1], 'x');
    int moduleResult = waitChild(modules);
    for (int fd : {go[1], libReport[0], stop[1], modReport[0]})
        close(fd);
    if (!serving) {
        if (moduleResult == kSkip)
            GTEST_SKIP() << "cannot create a veth pair between private namespaces";
        FAIL() << "module side did not start (" << moduleResult << ")";
    }
    if (libraryResult == kSkip) GTEST_SKIP() << "cannot configure the private network";
    EXPECT_EQ(libraryResult, 0) << "library side (see its code in librarySide)";
    EXPECT_EQ(moduleResult, 0) << "module side";
}

} // namespace
