// labels: integration
// Opening and closing the library, transports and devices; the datagram link underneath; the
// broadcast destination and COM port settings.
#include "raw_peer.h"

#include <dirent.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

using namespace libtest;

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0); }
    void TearDown() override {
        NLISetBroadcastAddress(nullptr);
        NLIClose();
    }
};

TEST_F(TransportTest, OpenAndCloseTheLibrary) {
    EXPECT_EQ(NLIOpen(2), NLIE_VERSION_NOT_CORRECT);
    EXPECT_EQ(NLIOpen(4), NLIE_VERSION_NOT_CORRECT);
    EXPECT_EQ(NLIOpen(3), 0);
    EXPECT_EQ(NLIClose(), 0);
    EXPECT_EQ(NLIClose(), 0);
}

TEST_F(TransportTest, OpenTransportChecksVersionRecordKindAndProtocol) {
    struct Case {
        uint16_t kind, protocol, version;
        int32_t expected;
    };
    const Case cases[] = {
        {TRANSPORT_WINSOCK, PROTOCOL_UDPIP, 2, NLIE_VERSION_NOT_CORRECT},
        {TRANSPORT_WINSOCK, PROTOCOL_UDPIP, 3, 0},
        {TRANSPORT_WINSOCK, PROTOCOL_IPX, 3, 0},
        {TRANSPORT_WINSOCK, PROTOCOL_SERIAL, 3, NLIE_UNSUPPORTED_PROTOCOL},
        {TRANSPORT_WINSOCK, 0, 3, NLIE_UNSUPPORTED_PROTOCOL},
        {TRANSPORT_SERIAL, PROTOCOL_SERIAL, 3, 0},
        {TRANSPORT_SERIAL, 77, 3, 0}, // the serial branch never looks at the protocol
        {0, PROTOCOL_UDPIP, 3, NLIE_UNSUPPORTED_TRANSPORT},
        {5, PROTOCOL_UDPIP, 3, NLIE_UNSUPPORTED_TRANSPORT},
    };
    int bindTarget = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " protocol " << c.protocol
                                        << " version " << c.version);
        NLITransport t;
        std::memset(&t, 0, sizeof t);
        t.kind = c.kind;
        t.protocol = c.protocol;
        t.scramble.mode = 0x101;
        t.scramble.key[0] = 'k';
        EXPECT_EQ(NLIOpenTransport(&t, c.version, &bindTarget), c.expected);
        if (c.version == 3) {
            // The key mode is switched off and the bind address kept, whatever the kind.
            EXPECT_EQ(t.scramble.mode, 0u);
            EXPECT_EQ(t.scramble.key[0], 'k');
            EXPECT_EQ(t.bindAddress, &bindTarget);
        }
        if (c.expected == 0) {
            EXPECT_EQ(NLICloseTransport(&t), 0);
        }
    }
    EXPECT_EQ(NLIOpenTransport(nullptr, 3, nullptr), NLIE_NULL_TRANSPORT);
    EXPECT_EQ(NLIOpenTransport(nullptr, 2, nullptr), NLIE_VERSION_NOT_CORRECT);
}

TEST_F(TransportTest, CloseTransportChecksRecordKindAndProtocol) {
    NLITransport t;
    std::memset(&t, 0, sizeof t);
    EXPECT_EQ(NLICloseTransport(nullptr), NLIE_NULL_TRANSPORT);
    t.kind = 9;
    EXPECT_EQ(NLICloseTransport(&t), NLIE_UNSUPPORTED_TRANSPORT);
    t.kind = TRANSPORT_WINSOCK;
    t.protocol = PROTOCOL_SERIAL;
    EXPECT_EQ(NLICloseTransport(&t), NLIE_UNSUPPORTED_PROTOCOL);
    t.kind = TRANSPORT_SERIAL;
    EXPECT_EQ(NLICloseTransport(&t), 0);
}

// The socket layer runs while at least one socket transport is open: two transports start it
// once, closing both ends it, and closing once more does not count below zero.
TEST_F(TransportTest, SocketLayerCountsOpenTransports) {
    RawPeer peer;
    NLITransport a, b, c;
    for (NLITransport* t : {&a, &b, &c}) {
        std::memset(t, 0, sizeof *t);
        t->kind = TRANSPORT_WINSOCK;
        t->protocol = PROTOCOL_UDPIP;
    }
    auto openOn = [&](NLITransport* t) {
        Device d;
        return d.openDirect(t, peer.address(), 20, 0);
    };
    ASSERT_EQ(NLIOpenTransport(&a, 3, nullptr), 0);
    ASSERT_EQ(NLIOpenTransport(&b, 3, nullptr), 0);
    EXPECT_EQ(NLICloseTransport(&a), 0);
    EXPECT_EQ(openOn(&b), 0) << "one transport is still open";
    EXPECT_EQ(NLICloseTransport(&b), 0);
    EXPECT_EQ(openOn(&b), 10093) << "no socket transport open: the socket layer is down";
    EXPECT_STREQ(ResultCodeName(10093), "WinSOCK - Successful WSAStartup not yet performed.");
    EXPECT_EQ(NLICloseTransport(&b), 0); // a third close
    ASSERT_EQ(NLIOpenTransport(&c, 3, nullptr), 0);
    EXPECT_EQ(openOn(&c), 0) << "the extra close must not have counted below zero";
    EXPECT_EQ(NLICloseTransport(&c), 0);
    EXPECT_EQ(openOn(&c), 10093);

    // Serial transports do not count.
    NLITransport s;
    std::memset(&s, 0, sizeof s);
    s.kind = TRANSPORT_SERIAL;
    EXPECT_EQ(NLIOpenTransport(&s, 3, nullptr), 0);
    EXPECT_EQ(openOn(&c), 10093);
}

TEST_F(TransportTest, OpenDeviceChecksArgumentsKindAndProtocol) {
    UdpTransport transport;
    NLIDevice d;
    std::memset(&d, 0, sizeof d);
    EXPECT_EQ(NLIOpenDevice(transport.get(), &d, 2, 10, 0, 0), NLIE_VERSION_NOT_CORRECT);
    EXPECT_EQ(NLIOpenDevice(nullptr, &d, 3, 10, 0, 0), NLIE_NULL_TRANSPORT);
    EXPECT_EQ(NLIOpenDevice(transport.get(), nullptr, 3, 10, 0, 0), NLIE_INVALID_DEVICE);
    EXPECT_EQ(d.transport, nullptr);

    NLITransport odd;
    std::memset(&odd, 0, sizeof odd);
    odd.kind = 7;
    EXPECT_EQ(NLIOpenDevice(&odd, &d, 3, 10, 0, 0), NLIE_UNSUPPORTED_TRANSPORT);
    EXPECT_EQ(d.transport, &odd) << "a failed open leaves the transport set";
    EXPECT_EQ(NLICloseDevice(&d), NLIE_UNSUPPORTED_TRANSPORT);
    EXPECT_EQ(d.transport, nullptr) << "closing clears the transport whatever the link said";

    odd.kind = TRANSPORT_WINSOCK;
    odd.protocol = 9;
    EXPECT_EQ(NLIOpenDevice(&odd, &d, 3, 10, 0, 0), NLIE_UNSUPPORTED_PROTOCOL);
    EXPECT_EQ(NLICloseDevice(&d), NLIE_UNSUPPORTED_PROTOCOL);
    EXPECT_EQ(d.transport, nullptr);
}

TEST_F(TransportTest, OpenDeviceSetsProtocolStateAndKeepsTheAddress) {
    RawPeer peer;
    UdpTransport transport;
    for (uint32_t broadcast : {0u, 1u}) {
        SCOPED_TRACE(broadcast);
        NLIDevice d;
        std::memset(&d, 0xA5, sizeof d);
        setUdpAddress(d, peer.address());
        d.ipNotSet = 0;
        d.transport = nullptr;
        uint8_t before[sizeof d];
        std::memcpy(before, &d, sizeof d);

        ASSERT_EQ(NLIOpenDevice(transport.get(), &d, 3, 123, 4, broadcast), 0);
        EXPECT_EQ(d.timeoutMs, 123);
        EXPECT_EQ(d.retries, 4);
        EXPECT_EQ(d.addressedHeader, broadcast);
        EXPECT_EQ(d.broadcast, broadcast);
        EXPECT_EQ(d.headerLength, broadcast ? 16 : 9);
        EXPECT_EQ(d.transport, transport.get());
        EXPECT_EQ(d.retryCount, 0);
        EXPECT_EQ(d.crcErrorCount, 0);
        EXPECT_EQ(d.unsolicitedCount, 0);
        EXPECT_EQ(d.noWaitIO, 0u);
        EXPECT_EQ(d.captureSize, 0u);
        EXPECT_EQ(d.captureBuffer, nullptr);
        EXPECT_EQ(d.reserved2, 0u);
        EXPECT_EQ(d.tunnel, 0);
        EXPECT_EQ(d.tunnelBase, 0);
        EXPECT_EQ(d.tunnelSlot, 0);
        EXPECT_EQ(d.tunnelParam, 0);
        for (uint8_t b : d.reserved3)
            EXPECT_EQ(b, 0);
        // Kept as they were.
        EXPECT_EQ(std::memcmp(d.address, before, sizeof d.address + 1), 0);
        EXPECT_EQ(std::memcmp(d.ethernetAddress, before + offsetof(NLIDevice, ethernetAddress), 6),
                  0);
        EXPECT_EQ(d.lastSequence, 0xA5A5);
        EXPECT_EQ(d.reserved0, 0xA5A5);
        EXPECT_EQ(NLICloseDevice(&d), 0);
        EXPECT_EQ(d.transport, nullptr);
    }
}

TEST_F(TransportTest, DeviceWithoutIpAddressOpensOnlyForBroadcast) {
    RawPeer peer;
    UdpTransport transport;
    NLIDevice d;
    std::memset(&d, 0, sizeof d);
    setUdpAddress(d, peer.address());
    d.ipNotSet = 1;
    int before = openDescriptors();
    EXPECT_EQ(NLIOpenDevice(transport.get(), &d, 3, 10, 0, 0), NLIE_IP_ADDR_NOT_INITIALIZED);
    EXPECT_EQ(openDescriptors(), before) << "nothing may be created before the refusal";
    EXPECT_EQ(NLICloseDevice(&d), 0);
    EXPECT_STREQ(ResultCodeName(NLIE_IP_ADDR_NOT_INITIALIZED), "IP address not initialized");

    EXPECT_EQ(NLIOpenDevice(transport.get(), &d, 3, 10, 0, 1), 0);
    EXPECT_EQ(d.ipNotSet, 1);
    EXPECT_EQ(NLICloseDevice(&d), 0);
}

TEST_F(TransportTest, CloseDeviceReleasesTheSocket) {
    RawPeer peer;
    UdpTransport transport;
    EXPECT_EQ(NLICloseDevice(nullptr), NLIE_INVALID_DEVICE);
    NLIDevice never;
    std::memset(&never, 0, sizeof never);
    EXPECT_EQ(NLICloseDevice(&never), 0) << "a record that was never opened";

    int before = openDescriptors();
    NLIDevice d;
    std::memset(&d, 0, sizeof d);
    setUdpAddress(d, peer.address());
    ASSERT_EQ(NLIOpenDevice(transport.get(), &d, 3, 10, 0, 0), 0);
    EXPECT_EQ(openDescriptors(), before + 1);
    EXPECT_EQ(NLICloseDevice(&d), 0);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(NLICloseDevice(&d), 0) << "closing twice does nothing the second time";
}

TEST_F(TransportTest, DevicesBindToTheTransportsBindAddress) {
    RawPeer peer;
    // A free loopback port, found by binding one and letting it go.
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = loopback(0);
    socklen_t len = sizeof local;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&local), &len), 0);
    close(probe);

    UdpTransport transport(&local);
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 0), 0);
    uint8_t request[10] = {};
    uint16_t length = 0;
    EXPECT_EQ(_SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0),
              NLIE_NO_RESPONSE);
    auto got = peer.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->from.sin_port, local.sin_port);
    EXPECT_EQ(got->from.sin_addr.s_addr, local.sin_addr.s_addr);

    // A second device on the same local port cannot bind: the socket error, mapped, and no
    // socket left behind.
    int before = openDescriptors();
    Device second;
    EXPECT_EQ(second.openDirect(transport.get(), peer.address(), 20, 0), 10048);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_STREQ(ResultCodeName(10048), "WinSOCK - Address already in use");
}

TEST_F(TransportTest, BindAddressOfAnotherFamilyIsRefusedWithTheSocketError) {
    RawPeer peer;
    sockaddr_in wrong = loopback(0);
    wrong.sin_family = AF_UNIX;
    UdpTransport transport(&wrong);
    Device d;
    int32_t rc = d.openDirect(transport.get(), peer.address(), 20, 0);
    EXPECT_TRUE(rc == 10047 || rc == 10022) << rc;
}

TEST_F(TransportTest, IpxDeviceOpenReportsTheSocketLayersError) {
    NLITransport t;
    std::memset(&t, 0, sizeof t);
    t.kind = TRANSPORT_WINSOCK;
    t.protocol = PROTOCOL_IPX;
    ASSERT_EQ(NLIOpenTransport(&t, 3, nullptr), 0);
    for (uint32_t broadcast : {0u, 1u}) {
        NLIDevice d;
        std::memset(&d, 0, sizeof d);
        int32_t rc = NLIOpenDevice(&t, &d, 3, 10, 0, broadcast);
        NLICloseDevice(&d);
        if (rc == 0) {
            NLICloseTransport(&t);
            GTEST_SKIP() << "this kernel has IPX sockets";
        }
        // Address family not supported, or another socket-layer refusal; never a library code.
        EXPECT_GE(rc, 10004) << rc;
        EXPECT_LE(rc, 11004) << rc;
        EXPECT_STRNE(ResultCodeName(rc), "???") << rc;
    }
    EXPECT_EQ(NLICloseTransport(&t), 0);
}

TEST_F(TransportTest, IdleSocketAnswersNoResponseAtOnceAndLeavesTheLength) {
    RawPeer peer;
    UdpTransport transport;
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 5000, 0), 0);
    uint8_t buffer[64];
    uint16_t length = 37;
    EXPECT_EQ(NLIGetResponse(d.get(), buffer, &length, 1), NLIE_NO_RESPONSE);
    EXPECT_EQ(length, 37);
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 0, 0), NLIE_NO_RESPONSE);
    EXPECT_EQ(length, 37);
}

// A datagram larger than the caller's buffer: nothing is written past the buffer, the result
// says the message was too long, and the next datagram is read normally.
TEST_F(TransportTest, DatagramLargerThanTheBufferIsRefusedWithoutOverrun) {
    RawPeer peer;
    UdpTransport transport;
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 200, 0), 0);
    uint8_t request[10] = {};
    request[9] = 0x01;
    uint16_t length = 0;
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    auto got = peer.receive();
    ASSERT_TRUE(got);

    Bytes big(700, 0x5A);
    Bytes answer = answerPacket(got->sequence(), big);
    peer.sendTo(got->from, answer);
    uint8_t buffer[400];
    std::memset(buffer, 0xEE, sizeof buffer);
    length = 100;
    EXPECT_EQ(NLIGetResponse(d.get(), buffer, &length, 1), 10040);
    for (size_t i = 100; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
    EXPECT_STREQ(ResultCodeName(10040), "WinSOCK - Message too long");

    // Through the engine: the same result, at once, without another attempt.
    uint16_t before = d->retryCount;
    std::thread module([&] {
        if (auto q = peer.receive()) peer.sendTo(q->from, answerPacket(q->sequence(), big));
    });
    length = 100;
    EXPECT_EQ(_SendPacket(d.get(), request, sizeof request, buffer, &length, 1, 1), 10040);
    module.join();
    EXPECT_EQ(d->retryCount, before);
    for (size_t i = 100; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;

    // The link is still in step.
    Bytes small = answerPacket(d->lastSequence, {0x00, 0x00, 0x42});
    peer.sendTo(got->from, small);
    length = 100;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), 0);
    EXPECT_EQ(Bytes(buffer, buffer + length), small);
}

// A datagram of exactly the buffer's size fits.
TEST_F(TransportTest, DatagramOfExactlyTheBufferSizeIsAccepted) {
    RawPeer peer;
    UdpTransport transport;
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 200, 0), 0);
    uint8_t request[10] = {};
    uint16_t length = 0;
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    auto got = peer.receive();
    ASSERT_TRUE(got);
    Bytes answer = answerPacket(got->sequence(), Bytes(91, 0x11));
    ASSERT_EQ(answer.size(), 100u);
    peer.sendTo(got->from, answer);
    uint8_t buffer[100];
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), 0);
    EXPECT_EQ(length, 100);
}

// The sender capture of a broadcast device: cut to its size with 0x8004, the packet received.
TEST_F(TransportTest, SenderCaptureIsCutToItsSize) {
    RawPeer peer;
    ASSERT_EQ(NLISetBroadcastAddress(peer.text().c_str()), 0);
    UdpTransport transport;
    Device d;
    ASSERT_EQ(NLIOpenDevice(transport.get(), d.get(), 3, 200, 0, 1), 0);
    uint8_t request[17] = {};
    uint16_t length = 0;
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    auto got = peer.receive();
    ASSERT_TRUE(got);
    Bytes answer = answerPacket(got->sequence(), {1, 2, 3});

    uint8_t capture[20];
    std::memset(capture, 0xEE, sizeof capture);
    d->captureBuffer = capture;
    d->captureSize = 4;
    peer.sendTo(got->from, answer);
    uint8_t buffer[64];
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, answer.size()) << "the packet was received";
    sockaddr_in peerAddress = peer.address();
    EXPECT_EQ(std::memcmp(capture, &peerAddress, 4), 0);
    for (size_t i = 4; i < sizeof capture; ++i)
        EXPECT_EQ(capture[i], 0xEE) << i;

    d->captureSize = 20;
    peer.sendTo(got->from, answer);
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), 0);
    EXPECT_EQ(std::memcmp(capture, &peerAddress, sizeof peerAddress), 0);
    for (size_t i = sizeof peerAddress; i < sizeof capture; ++i)
        EXPECT_EQ(capture[i], 0xEE) << i;
    d->captureBuffer = nullptr;
    d->captureSize = 0;
}

// A connected socket learns of a port-unreachable bounce from an earlier datagram; that is not
// the answer to the request now waiting, which runs to its own time-out.
TEST_F(TransportTest, BounceOfAnEarlierDatagramDoesNotFailARequest) {
    int gone = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in nobody = loopback(0);
    socklen_t len = sizeof nobody;
    ASSERT_EQ(bind(gone, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody), 0);
    ASSERT_EQ(getsockname(gone, reinterpret_cast<sockaddr*>(&nobody), &len), 0);
    close(gone);

    UdpTransport transport;
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), nobody, 40, 1), 0);
    uint8_t request[10] = {};
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(_SendPacket(d.get(), request, sizeof request, buffer, &length, 1, 1), NLIE_TIMEOUT);
    EXPECT_EQ(d->retryCount, 1) << "both attempts were sent";

    // A bounce still pending when the next request is sent does not fail the send either.
    length = 0;
    EXPECT_EQ(_SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0),
              NLIE_NO_RESPONSE);
    pollfd p{static_cast<int>(d->socket), POLLERR, 0};
    poll(&p, 1, 500); // the bounce has arrived
    EXPECT_EQ(_SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0),
              NLIE_NO_RESPONSE);
}

TEST_F(TransportTest, BroadcastDestinationFromTheEnvironmentIsReadWhenATransportOpens) {
    RawPeer first, second;
    setenv("NLI_BROADCAST_ADDRESS", first.text().c_str(), 1);
    UdpTransport transport;
    setenv("NLI_BROADCAST_ADDRESS", second.text().c_str(), 1); // not read until the next open
    Device d;
    ASSERT_EQ(NLIOpenDevice(transport.get(), d.get(), 3, 20, 0, 1), 0);
    uint8_t request[17] = {};
    uint16_t length = 0;
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    EXPECT_TRUE(first.receive(1000));

    UdpTransport another;
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    EXPECT_TRUE(second.receive(1000));
    EXPECT_TRUE(first.drain().empty());
}

TEST_F(TransportTest, SetterWinsOverTheEnvironmentUntilCleared) {
    RawPeer fromEnv, fromSetter;
    setenv("NLI_BROADCAST_ADDRESS", fromEnv.text().c_str(), 1);
    UdpTransport transport;
    Device d;
    ASSERT_EQ(NLIOpenDevice(transport.get(), d.get(), 3, 20, 0, 1), 0);
    uint8_t request[17] = {};
    uint16_t length = 0;

    ASSERT_EQ(NLISetBroadcastAddress(fromSetter.text().c_str()), 0);
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    EXPECT_TRUE(fromSetter.receive(1000));
    EXPECT_TRUE(fromEnv.drain().empty());

    // A bad text changes nothing.
    EXPECT_EQ(NLISetBroadcastAddress("not an address"), NLIE_INVALID_REQUEST);
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    EXPECT_TRUE(fromSetter.receive(1000));

    ASSERT_EQ(NLISetBroadcastAddress(""), 0);
    _SendPacket(d.get(), request, sizeof request, nullptr, &length, 0, 0);
    EXPECT_TRUE(fromEnv.receive(1000));
    EXPECT_TRUE(fromSetter.drain().empty());
}

TEST_F(TransportTest, BroadcastAddressTexts) {
    const char* good[] = {"127.0.0.1", "127.0.0.1:1", "127.0.0.1:28784", "127.1.2.3:65535",
                          "192.168.1.255"};
    for (const char* text : good)
        EXPECT_EQ(NLISetBroadcastAddress(text), 0) << text;
    const char* bad[] = {"1.2.3",         "1.2.3.4:",    "1.2.3.4:0",    "1.2.3.4:65536",
                         "1.2.3.4:12x",   "1.2.3.4:-1",  "localhost:80", " 1.2.3.4",
                         "1.2.3.4 ",      ":80",         "::1",          "256.1.1.1",
                         "1.2.3.4:80:81", "1.2.3.4:+80", "0x7f.0.0.1"};
    for (const char* text : bad)
        EXPECT_EQ(NLISetBroadcastAddress(text), NLIE_INVALID_REQUEST) << text;
    EXPECT_EQ(NLISetBroadcastAddress(nullptr), 0);
}

// Text in the environment that is not an address refuses the socket transport rather than
// broadcasting to the whole network; the setter takes precedence, and serial links do not care.
TEST_F(TransportTest, UnreadableEnvironmentAddressRefusesTheTransport) {
    setenv("NLI_BROADCAST_ADDRESS", "127.0.0.1:notaport", 1);
    NLITransport t;
    std::memset(&t, 0, sizeof t);
    t.kind = TRANSPORT_WINSOCK;
    t.protocol = PROTOCOL_UDPIP;
    EXPECT_EQ(NLIOpenTransport(&t, 3, nullptr), NLIE_INVALID_REQUEST);

    t.kind = TRANSPORT_SERIAL;
    EXPECT_EQ(NLIOpenTransport(&t, 3, nullptr), 0);

    RawPeer peer;
    ASSERT_EQ(NLISetBroadcastAddress(peer.text().c_str()), 0);
    t.kind = TRANSPORT_WINSOCK;
    ASSERT_EQ(NLIOpenTransport(&t, 3, nullptr), 0);
    EXPECT_EQ(NLICloseTransport(&t), 0);
}

TEST_F(TransportTest, CommPortPathSetterChecksItsArguments) {
    EXPECT_EQ(NLISetCommPortPath(0, "/dev/null"), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLISetCommPortPath(9, "/dev/null"), NLIE_INVALID_REQUEST);
    std::string tooLong(5000, 'x');
    EXPECT_EQ(NLISetCommPortPath(1, tooLong.c_str()), NLIE_INVALID_REQUEST);
    for (uint8_t port = 1; port <= 8; ++port) {
        EXPECT_EQ(NLISetCommPortPath(port, "/dev/null"), 0);
        EXPECT_EQ(NLISetCommPortPath(port, nullptr), 0);
    }
}

} // namespace
