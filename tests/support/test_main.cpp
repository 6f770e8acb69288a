// Test main with a network guard. Tests may send only to loopback. The guard refuses a broadcast
// destination outside 127.0.0.0/8 and points the library's broadcast destination at a loopback
// tripwire socket, so that a test which forgets to aim at its simulator fails loudly instead of
// broadcasting on the real network.
#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int tripwire = -1;
std::string tripwireText;

bool isLoopbackDestination(const std::string& text) {
    std::string host = text.substr(0, text.find(':'));
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

int drainTripwire() {
    int n = 0;
    char buf[2048];
    while (recv(tripwire, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
    return n;
}

class GuardListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { drainTripwire(); }
    void OnTestEnd(const testing::TestInfo&) override {
        // Checked after the test: late packets of a test are blamed on it, not on the next one.
        int n = drainTripwire();
        if (n > 0)
            ADD_FAILURE() << n << " packet(s) went to the broadcast destination without a "
                          << "simulator behind it: point NLI_BROADCAST_ADDRESS (or "
                          << "NLISetBroadcastAddress) at the simulator before broadcasting";
        testsupport::restoreBroadcastGuard();
    }
};

} // namespace

namespace testsupport {

std::string tripwireAddress() { return tripwireText; }

void restoreBroadcastGuard() { setenv("NLI_BROADCAST_ADDRESS", tripwireText.c_str(), 1); }

} // namespace testsupport

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);

    if (const char* preset = std::getenv("NLI_BROADCAST_ADDRESS")) {
        if (!isLoopbackDestination(preset) && !std::getenv("NLI_TEST_NETNS_OK")) {
            std::fprintf(stderr,
                         "refusing to run: NLI_BROADCAST_ADDRESS=%s is not a loopback address; "
                         "tests send only to 127.0.0.0/8\n",
                         preset);
            return 2;
        }
    }

    tripwire = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (tripwire < 0 || bind(tripwire, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(tripwire, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("refusing to run: cannot open the loopback tripwire socket");
        return 2;
    }
    tripwireText = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    testsupport::restoreBroadcastGuard();

    testing::UnitTest::GetInstance()->listeners().Append(new GuardListener);
    int rc = RUN_ALL_TESTS();
    close(tripwire);
    return rc;
}
