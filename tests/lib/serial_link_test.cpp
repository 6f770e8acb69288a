// labels: integration
// The serial link over a real pseudo-terminal pair. The test drives the far (master) end itself,
// since what is checked is the library's framing and line settings; the simulator's serial
// module answers a whole exchange at the end.
#include "raw_peer.h"

#include "nlisim/sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

using namespace libtest;

class SerialLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
        ASSERT_EQ(openpty(&master_, &slave_, slaveName_, nullptr, nullptr), 0);
        ASSERT_EQ(NLISetCommPortPath(1, slaveName_), 0);
        std::memset(&transport_, 0, sizeof transport_);
        transport_.kind = TRANSPORT_SERIAL;
        transport_.protocol = PROTOCOL_SERIAL;
        ASSERT_EQ(NLIOpenTransport(&transport_, 3, nullptr), 0);
        std::memset(&device_, 0, sizeof device_);
        setAddress(device_, 1);
    }
    void TearDown() override {
        NLICloseDevice(&device_);
        NLICloseTransport(&transport_);
        for (uint8_t port = 1; port <= 8; ++port)
            NLISetCommPortPath(port, nullptr);
        unsetenv("NLI_COM2");
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
        NLIClose();
    }
    static void setAddress(NLIDevice& d, uint8_t port, uint8_t dataBits = 8,
                           uint32_t baud = 57600) {
        NLISerialAddress a{};
        a.port = port;
        a.dataBits = dataBits;
        a.parity = 0;
        a.stopBits = 0;
        a.baudRate = baud;
        a.handle = 12345; // replaced by the open
        std::memcpy(d.address, &a, sizeof a);
    }
    static intptr_t handleOf(const NLIDevice& d) {
        NLISerialAddress a{};
        std::memcpy(&a, d.address, sizeof a);
        return a.handle;
    }
    int32_t open(uint16_t timeoutMs = 250, uint16_t retries = 0) {
        return NLIOpenDevice(&transport_, &device_, 3, timeoutMs, retries, 0);
    }
    void writeMaster(const Bytes& b) {
        ASSERT_EQ(write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // Reads exactly n bytes from the master within two seconds.
    Bytes readMaster(size_t n) {
        Bytes b;
        uint8_t chunk[512];
        while (b.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            ssize_t got = read(master_, chunk, std::min(sizeof chunk, n - b.size()));
            if (got <= 0) break;
            b.insert(b.end(), chunk, chunk + got);
        }
        return b;
    }
    bool masterIdle(int ms) {
        pollfd p{master_, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

    int master_ = -1, slave_ = -1;
    char slaveName_[256] = {};
    NLITransport transport_{};
    NLIDevice device_{};
};

// Bytes a terminal would otherwise act on: CR, LF, XON, XOFF, ^C, ^Z, ^D, DEL, 0xFF, 0x00.
const Bytes kSpecial = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x04, 0x7F, 0xFF, 0x00, 0x0D, 0x0D};

TEST_F(SerialLinkTest, OpensRawAt57600EightNoneOne) {
    ASSERT_EQ(open(), 0);
    intptr_t h = handleOf(device_);
    EXPECT_GE(h, 0);
    EXPECT_NE(h, 12345);
    termios t{};
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    int exclusive = 0;
    ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "opened for exclusive use";

    EXPECT_EQ(NLICloseDevice(&device_), 0);
    EXPECT_EQ(handleOf(device_), -1);
    EXPECT_EQ(device_.transport, nullptr);
}

TEST_F(SerialLinkTest, EveryBytePassesUnchangedBothWays) {
    ASSERT_EQ(open(), 0);
    Bytes payload = {0x23, 0x05};
    payload.insert(payload.end(), kSpecial.begin(), kSpecial.end());
    Bytes r(9, 0);
    r.insert(r.end(), payload.begin(), payload.end());
    uint16_t length = 0;
    EXPECT_EQ(
        _SendPacket(&device_, r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0),
        NLIE_NO_RESPONSE);
    Bytes sent = readMaster(r.size());
    ASSERT_EQ(sent.size(), r.size());
    EXPECT_EQ(Bytes(sent.begin() + 9, sent.end()), payload);
    EXPECT_EQ(u16(&sent[7]), payload.size());
    EXPECT_EQ(u16(&sent[5]), crcBitwise(payload.data(), payload.size()));
    EXPECT_TRUE(masterIdle(100)) << "nothing added (no echo, no translation)";

    Bytes answer = answerPacket(u16(&sent[3]), kSpecial);
    writeMaster(answer);
    uint8_t buffer[100];
    length = sizeof buffer;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 1), 0);
    EXPECT_EQ(Bytes(buffer, buffer + length), answer);
    EXPECT_TRUE(masterIdle(50)) << "the answer was not echoed back";
}

// Nothing arriving is not an error of the link: the one look reports no response, and a
// waiting request times out.
TEST_F(SerialLinkTest, NothingArrives) {
    ASSERT_EQ(open(100, 0), 0);
    uint8_t buffer[64];
    uint16_t length = 33;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 1), NLIE_NO_RESPONSE);
    EXPECT_EQ(length, 33);
    Bytes r(10, 0);
    length = sizeof buffer;
    EXPECT_EQ(_SendPacket(&device_, r.data(), 10, buffer, &length, 1, 0), NLIE_TIMEOUT);
    EXPECT_EQ(length, 0);
}

TEST_F(SerialLinkTest, FiveBytesThenSilenceIsASizeError) {
    ASSERT_EQ(open(), 0);
    writeMaster({0x4B, 0x56, 0x52, 0x01, 0x00});
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 1), NLIE_SIZE_ERROR);
    EXPECT_STREQ(ResultCodeName(NLIE_SIZE_ERROR), "NLIE_SIZE_ERROR");
}

TEST_F(SerialLinkTest, HeaderThenTooFewDataBytesIsASizeError) {
    ASSERT_EQ(open(), 0);
    Bytes answer = answerPacket(7, {1, 2, 3, 4, 5, 6});
    answer.resize(answer.size() - 2);
    writeMaster(answer);
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 0), NLIE_SIZE_ERROR);
}

TEST_F(SerialLinkTest, WholePacketArrivingInPiecesIsAccepted) {
    ASSERT_EQ(open(), 0);
    Bytes answer = answerPacket(0x0102, {0, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1});
    std::thread far([&] {
        for (size_t i = 0; i < answer.size(); i += 3) {
            size_t n = std::min<size_t>(3, answer.size() - i);
            ASSERT_EQ(write(master_, answer.data() + i, n), static_cast<ssize_t>(n));
            usleep(20000);
        }
    });
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 0), 0);
    far.join();
    EXPECT_EQ(Bytes(buffer, buffer + length), answer);
    EXPECT_EQ(device_.lastSequence, 0x0102);
}

// A header stating more data than the caller's buffer holds: nothing is written past the
// buffer, the packet is read to its end and dropped, and the next packet is read in step.
TEST_F(SerialLinkTest, PacketLargerThanTheBufferIsDroppedInStep) {
    ASSERT_EQ(open(), 0);
    Bytes big = answerPacket(5, Bytes(300, 0x4B));
    Bytes next = answerPacket(6, {0, 0, 0x11});
    writeMaster(big);
    writeMaster(next);
    uint8_t buffer[200];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t length = 100;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 0), NLIE_BUFFER_TOO_SMALL);
    for (size_t i = 0; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
    length = 100;
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 0), 0);
    EXPECT_EQ(Bytes(buffer, buffer + length), next);
}

TEST_F(SerialLinkTest, RequestAndAnswerThroughTheEngine) {
    ASSERT_EQ(open(250, 2), 0);
    std::thread far([&] {
        // Ignore the first request, answer the second.
        Bytes first = readMaster(11);
        Bytes second = readMaster(11);
        if (second.size() != 11) return;
        Bytes a = answerPacket(u16(&second[3]), {0x00, 0x00, 0xAB});
        ASSERT_EQ(write(master_, a.data(), a.size()), static_cast<ssize_t>(a.size()));
    });
    Bytes r = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x17, 0x00};
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    int32_t rc = _SendPacket(&device_, r.data(), 11, buffer, &length, 1, 1);
    far.join();
    EXPECT_EQ(rc, NLIE_RETRIES_OCCURRED);
    ASSERT_EQ(length, 12);
    EXPECT_EQ(buffer[11], 0xAB);
}

TEST_F(SerialLinkTest, PortNamesAndMapping) {
    // Port 2 mapped through the environment to a path that does not exist.
    setenv("NLI_COM2", "/nonexistent/tty", 1);
    NLIDevice d;
    std::memset(&d, 0, sizeof d);
    setAddress(d, 2);
    EXPECT_EQ(NLIOpenDevice(&transport_, &d, 3, 100, 0, 0), ENOENT);
    EXPECT_EQ(handleOf(d), -1);
    EXPECT_EQ(NLICloseDevice(&d), 0);
    // The setter wins over the environment.
    ASSERT_EQ(NLISetCommPortPath(2, slaveName_), 0);
    EXPECT_EQ(NLIOpenDevice(&transport_, &d, 3, 100, 0, 0), 0);
    EXPECT_EQ(NLICloseDevice(&d), 0);
    // Cleared again: back to the environment.
    ASSERT_EQ(NLISetCommPortPath(2, ""), 0);
    EXPECT_EQ(NLIOpenDevice(&transport_, &d, 3, 100, 0, 0), ENOENT);
    NLICloseDevice(&d);
    // Ports outside 1 to 8 do not exist.
    for (int port : {0, 9, 200}) {
        setAddress(d, static_cast<uint8_t>(port));
        EXPECT_EQ(NLIOpenDevice(&transport_, &d, 3, 100, 0, 0), ENOENT) << int(port);
        NLICloseDevice(&d);
    }
}

// Line settings the port cannot take: the system's error, with the handle kept in the record
// so that closing the device releases it.
TEST_F(SerialLinkTest, UnusableLineSettingsFailAndCloseReleasesThePort) {
    for (auto [bits, baud] : {std::pair<uint8_t, uint32_t>{9, 57600}, {8, 12345}}) {
        SCOPED_TRACE(testing::Message() << int(bits) << " bits " << baud << " baud");
        setAddress(device_, 1, bits, baud);
        EXPECT_EQ(open(), EINVAL);
        EXPECT_EQ(device_.transport, &transport_);
        intptr_t h = handleOf(device_);
        ASSERT_GE(h, 0);
        EXPECT_EQ(NLICloseDevice(&device_), 0);
        EXPECT_EQ(fcntl(static_cast<int>(h), F_GETFD), -1) << "the port was released";
        EXPECT_EQ(handleOf(device_), -1);
    }
}

TEST_F(SerialLinkTest, InvalidHandleIsAnInvalidDevice) {
    ASSERT_EQ(open(), 0);
    intptr_t h = handleOf(device_);
    NLISerialAddress a{};
    std::memcpy(&a, device_.address, sizeof a);
    a.handle = -1;
    std::memcpy(device_.address, &a, sizeof a);
    Bytes r(10, 0);
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(_SendPacket(&device_, r.data(), 10, buffer, &length, 1, 0), NLIE_INVALID_DEVICE);
    EXPECT_EQ(NLIGetResponse(&device_, buffer, &length, 0), NLIE_INVALID_DEVICE);
    close(static_cast<int>(h));
}

TEST_F(SerialLinkTest, SimulatedSerialModuleAnswers) {
    nlisim::Options options;
    options.serial = true;
    nlisim::Simulator sim(nlisim::Plant::fromJson(
                              nlisim::Json::parse(R"({"modules":[{"mac":"00:E0:62:00:00:07"}]})")),
                          options);
    sim.start();
    ASSERT_EQ(NLISetCommPortPath(3, sim.serialPath().c_str()), 0);
    NLIDevice d;
    std::memset(&d, 0, sizeof d);
    setAddress(d, 3);
    ASSERT_EQ(NLIOpenDevice(&transport_, &d, 3, 250, 1, 0), 0);
    for (int k = 0; k < 3; ++k) {
        uint8_t r[10] = {};
        uint8_t buffer[64];
        uint16_t length = sizeof buffer;
        EXPECT_EQ(_SendPacket(&d, r, sizeof r, buffer, &length, 1, 1), 0);
        EXPECT_EQ(length, 11);
        EXPECT_EQ(u16(buffer + 3), d.lastSequence);
    }
    NLIDevice found[2];
    uint16_t count = 2;
    EXPECT_EQ(NLIQueryDevices(&transport_, found, &count, 3), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(NLICloseDevice(&d), 0);
    sim.stop();
}

} // namespace
