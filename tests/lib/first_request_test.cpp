// labels: integration
// The first two requests of a process, byte for byte. This file holds exactly one test, so that
// its requests are the process's first whichever way the tests are run.
#include "raw_peer.h"

namespace {

using namespace libtest;

TEST(FirstRequests, SetupReadThenDiscoveryQueryAreTheDocumentedBytes) {
    ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
    RawPeer peer;
    UdpTransport transport;
    Device device;
    ASSERT_EQ(device.openDirect(transport.get(), peer.address(), 50, 0), 0);

    // Setup-data read of item 22 (node name), plain header, CRC on, no scrambling.
    uint8_t request[13] = {};
    request[9] = 0x0B;
    request[10] = 0x00;
    request[11] = 22;
    request[12] = 0;
    uint8_t response[200];
    uint16_t length = sizeof response;
    EXPECT_EQ(_SendPacket(device.get(), request, sizeof request, response, &length, 0, 0),
              NLIE_NO_RESPONSE);
    EXPECT_EQ(length, 0);
    auto first = peer.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(hex(first->bytes), "4B 56 52 01 00 CA B7 04 00 0B 00 16 00");
    EXPECT_EQ(device->lastSequence, 1);

    // A discovery query next; nobody answers it.
    ASSERT_EQ(NLISetBroadcastAddress(peer.text().c_str()), 0);
    uint32_t saved = NLISetQueryTimeout(30);
    NLIDevice found[4];
    uint16_t count = 4;
    EXPECT_EQ(NLIQueryDevices(transport.get(), found, &count, NLI_INTERFACE_VERSION), 0);
    EXPECT_EQ(count, 0);
    auto query = peer.receive();
    ASSERT_TRUE(query);
    EXPECT_EQ(hex(query->bytes), "4B 56 52 02 00 A5 50 01 00 05");
    NLISetQueryTimeout(saved);
    NLISetBroadcastAddress(nullptr);
}

} // namespace
