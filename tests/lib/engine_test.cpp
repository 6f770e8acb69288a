// labels: integration
// The packet engine over real loopback sockets: what goes on the wire (captured by a plain UDP
// socket of the test), and how answers are matched, checked, retried and handed on (answered by
// that socket with crafted bytes, or by the simulated modules).
#include "raw_peer.h"

#include "nlisim/sim.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace {

using namespace libtest;

constexpr char kLibraryKey[] = "Veltrac NLI scramble key 3.0 - flash access for boot loader";

// A scripted far end: runs `script` on its own thread against the peer socket.
class Module {
  public:
    Module(RawPeer& peer, std::function<void(RawPeer&)> script)
        : thread_([&peer, script] { script(peer); }) {}
    ~Module() { thread_.join(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

  private:
    std::thread thread_;
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
        SetCRCMode(1);
    }
    void TearDown() override {
        SetCRCMode(1);
        AsyncLog::remove();
        NLISetBroadcastAddress(nullptr);
        NLIClose();
    }
    // A request buffer with the payload at headerLength.
    static Bytes request(const NLIDevice* d, const Bytes& payload) {
        Bytes r(d->headerLength, 0);
        r.insert(r.end(), payload.begin(), payload.end());
        return r;
    }
    RawPeer peer;
    UdpTransport transport;
};

TEST_F(EngineTest, HeaderChecksumAndLengthOnTheWire) {
    struct Case {
        bool addressed;
        uint32_t crc;
    };
    const uint8_t mac[6] = {0x00, 0xE0, 0x62, 0x12, 0x34, 0x56};
    ASSERT_EQ(NLISetBroadcastAddress(peer.text().c_str()), 0);
    for (Case c : {Case{false, 1}, Case{false, 0}, Case{true, 1}, Case{true, 0}}) {
        SCOPED_TRACE(testing::Message() << "addressed " << c.addressed << " crc " << c.crc);
        SetCRCMode(c.crc);
        Device d;
        if (c.addressed) {
            std::memcpy(d->ethernetAddress, mac, 6);
            ASSERT_EQ(NLIOpenDevice(transport.get(), d.get(), 3, 20, 0, 1), 0);
        } else {
            ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 0), 0);
        }
        Bytes r = request(d.get(), {0x0B, 0x00, 0x26, 0x00, 0x0A, 0x0D, 0xFF});
        uint16_t length = 0;
        EXPECT_EQ(
            _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0),
            NLIE_NO_RESPONSE);
        auto got = peer.receive();
        ASSERT_TRUE(got);
        const Bytes& p = got->bytes;
        ASSERT_EQ(p.size(), r.size());
        EXPECT_EQ(p[0], 0x4B);
        EXPECT_EQ(p[1], 0x56);
        EXPECT_EQ(p[2], 0x52);
        EXPECT_EQ(u16(&p[3]), d->lastSequence);
        EXPECT_NE(d->lastSequence, 0);
        EXPECT_EQ(u16(&p[7]), p.size() - 9);
        EXPECT_EQ(u16(&p[5]), c.crc ? crcBitwise(&p[9], p.size() - 9) : 0);
        if (c.addressed) {
            EXPECT_EQ(p[9], 0x15);
            EXPECT_EQ(Bytes(p.begin() + 10, p.begin() + 16), Bytes(mac, mac + 6));
        }
        EXPECT_EQ(Bytes(p.begin() + d->headerLength, p.end()),
                  Bytes({0x0B, 0x00, 0x26, 0x00, 0x0A, 0x0D, 0xFF}));
    }
}

TEST_F(EngineTest, ChecksumIsXmodem) {
    // Check value of CRC-16/XMODEM: "123456789" gives 0x31C3. The packet's CRC field carries it.
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 0), 0);
    Bytes r = request(d.get(), {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    uint16_t length = 0;
    _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0);
    auto got = peer.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(u16(&got->bytes[5]), 0x31C3);
}

TEST_F(EngineTest, BadRequestsAreRefused) {
    Device d;
    uint8_t r[32] = {};
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(_SendPacket(nullptr, r, 10, buffer, &length, 1, 0), NLIE_INVALID_DEVICE);
    EXPECT_EQ(_SendPacket(d.get(), r, 10, buffer, &length, 1, 0), NLIE_INVALID_DEVICE)
        << "a device that is not open";
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), NLIE_INVALID_DEVICE);
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 0), 0);
    EXPECT_EQ(_SendPacket(d.get(), r, 8, buffer, &length, 1, 0), NLIE_INVALID_REQUEST)
        << "shorter than the header";
    EXPECT_EQ(_SendPacket(d.get(), nullptr, 10, buffer, &length, 1, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(_SendPacket(d.get(), r, 10, nullptr, &length, 1, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(_SendPacket(d.get(), r, 10, buffer, nullptr, 1, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIGetResponse(d.get(), nullptr, &length, 1), NLIE_INVALID_REQUEST);
    EXPECT_TRUE(peer.drain().empty()) << "nothing refused may reach the wire";

    Device addressed;
    ASSERT_EQ(NLIOpenDevice(transport.get(), addressed.get(), 3, 20, 0, 1), 0);
    EXPECT_EQ(_SendPacket(addressed.get(), r, 12, buffer, &length, 1, 0), NLIE_INVALID_REQUEST)
        << "shorter than the addressed header";
}

TEST_F(EngineTest, NoWaitSendsOnceAndReportsNoResponse) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 5), 0);
    Bytes r = request(d.get(), {0x14, 0x00});
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(
        _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 0, 1),
        NLIE_NO_RESPONSE);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(d->retryCount, 0);
    EXPECT_TRUE(peer.receive());
    EXPECT_TRUE(peer.drain().empty());
}

// Retries 3 and nobody answering: four sends, each with a new sequence number and otherwise the
// same bytes; retryCount grows by 3; the length comes back 0.
TEST_F(EngineTest, RetriesThreeSendsFourTimes) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 25, 3), 0);
    d->retryCount = 10;
    Bytes r = request(d.get(), {0x01});
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(
        _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 1, 1),
        NLIE_TIMEOUT);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(d->retryCount, 13);
    auto sent = peer.drain();
    ASSERT_EQ(sent.size(), 4u);
    for (size_t k = 1; k < sent.size(); ++k) {
        uint16_t expected = sent[k - 1].sequence() == 0xFFFF ? 1 : sent[k - 1].sequence() + 1;
        EXPECT_EQ(sent[k].sequence(), expected);
        Bytes a = sent[0].bytes, b = sent[k].bytes;
        a[3] = a[4] = b[3] = b[4] = 0;
        EXPECT_EQ(a, b);
    }
    EXPECT_EQ(d->lastSequence, sent.back().sequence());

    // retries 0: one attempt only.
    d->retries = 0;
    length = sizeof buffer;
    EXPECT_EQ(
        _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 1, 1),
        NLIE_TIMEOUT);
    EXPECT_EQ(peer.drain().size(), 1u);
    EXPECT_EQ(d->retryCount, 13);
}

// An answer to the second attempt: 0x2000 with the report flag, 0 without.
TEST_F(EngineTest, ReportFlagOnAnAnswerToTheSecondAttempt) {
    for (uint32_t report : {1u, 0u}) {
        SCOPED_TRACE(report);
        Device d;
        ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 60, 3), 0);
        Bytes answer;
        Module module(peer, [&](RawPeer& p) {
            auto first = p.receive();
            auto second = p.receive();
            if (!first || !second) return;
            answer = answerPacket(second->sequence(), {0x00, 0x00, 0x07});
            p.sendTo(second->from, answer);
        });
        Bytes r = request(d.get(), {0x01});
        uint8_t buffer[64];
        uint16_t length = sizeof buffer;
        int32_t rc = _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer,
                                 &length, 1, report);
        EXPECT_EQ(rc, report ? NLIE_RETRIES_OCCURRED : 0);
        EXPECT_FALSE(NLI_FAILED(rc));
        EXPECT_EQ(d->retryCount, 1);
        ASSERT_EQ(length, 12);
        EXPECT_EQ(buffer[11], 0x07);
    }
}

// A late answer to the first attempt arrives while the second waits: it carries the old
// sequence number, goes to the asynchronous handler and does not satisfy the wait.
TEST_F(EngineTest, LateAnswerGoesToTheAsynchronousHandler) {
    AsyncLog::install();
    NLIAsyncHandler current = nullptr;
    EXPECT_EQ(NLIGetAsyncHandler(&current), 0);
    EXPECT_EQ(current, &AsyncLog::handler);
    EXPECT_EQ(NLIGetAsyncHandler(nullptr), NLIE_INVALID_REQUEST);

    for (bool answerSecond : {false, true}) {
        SCOPED_TRACE(answerSecond);
        AsyncLog::packets.clear();
        AsyncLog::devices.clear();
        Device d;
        ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 80, 1), 0);
        Bytes late;
        Module module(peer, [&](RawPeer& p) {
            auto first = p.receive();
            auto second = p.receive();
            if (!first || !second) return;
            late = answerPacket(first->sequence(), {0x00, 0x00, 0x01});
            p.sendTo(second->from, late);
            if (answerSecond) p.sendTo(second->from, answerPacket(second->sequence(), {0, 0, 2}));
        });
        Bytes r = request(d.get(), {0x01});
        uint8_t buffer[64];
        uint16_t length = sizeof buffer;
        int32_t rc =
            _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 1, 1);
        if (answerSecond) {
            EXPECT_EQ(rc, NLIE_RETRIES_OCCURRED);
            EXPECT_EQ(buffer[11], 2);
        } else {
            EXPECT_EQ(rc, NLIE_TIMEOUT);
            EXPECT_EQ(length, 0);
        }
        ASSERT_EQ(AsyncLog::packets.size(), 1u);
        EXPECT_EQ(AsyncLog::packets[0], late);
        EXPECT_EQ(AsyncLog::devices[0], d.get());
        EXPECT_EQ(d->unsolicitedCount, 1);
    }
}

TEST_F(EngineTest, WithoutAHandlerStrangersAreStillCounted) {
    AsyncLog::remove();
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 100, 0), 0);
    Module module(peer, [&](RawPeer& p) {
        auto q = p.receive();
        if (!q) return;
        p.sendTo(q->from, answerPacket(static_cast<uint16_t>(q->sequence() + 100), {0, 0}));
        p.sendTo(q->from, answerPacket(q->sequence(), {0, 0, 9}));
    });
    Bytes r = request(d.get(), {0x01});
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(
        _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 1, 1), 0);
    EXPECT_EQ(buffer[11], 9);
    EXPECT_EQ(d->unsolicitedCount, 1);
}

// A stream of packets with other sequence numbers does not hold a request past its time-out.
TEST_F(EngineTest, FloodOfStrangersEndsAtTheTimeOut) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 50, 0), 0);
    std::atomic<bool> done{false};
    Module module(peer, [&](RawPeer& p) {
        auto q = p.receive();
        if (!q) return;
        Bytes stranger = answerPacket(static_cast<uint16_t>(q->sequence() + 1), {0, 0});
        while (!done)
            p.sendTo(q->from, stranger);
    });
    Bytes r = request(d.get(), {0x01});
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    EXPECT_EQ(
        _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 1, 1),
        NLIE_TIMEOUT);
    done = true;
    EXPECT_GT(d->unsolicitedCount, 0);
}

TEST_F(EngineTest, MatchingRules) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 200, 0), 0);
    Bytes r = request(d.get(), {0x01});
    uint16_t length = 0;
    _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0);
    auto q = peer.receive();
    ASSERT_TRUE(q);
    uint8_t buffer[64];

    // lastSequence 0 accepts any answer.
    d->lastSequence = 0;
    peer.sendTo(q->from, answerPacket(0x4321, {0, 0}));
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), 0);
    EXPECT_EQ(u16(buffer + 3), 0x4321);
    EXPECT_EQ(d->lastSequence, 0) << "with matching on, the device keeps its number";

    // With the match flag clear another number is accepted and becomes the device's.
    d->lastSequence = 7;
    peer.sendTo(q->from, answerPacket(0x1234, {0, 0}));
    length = sizeof buffer;
    EXPECT_EQ(NLIGetResponse(d.get(), buffer, &length, 0), 0);
    EXPECT_EQ(d->lastSequence, 0x1234);
    EXPECT_EQ(d->unsolicitedCount, 0);

    // A packet too short to carry a sequence number matches nothing but "accept any".
    AsyncLog::install();
    d->lastSequence = 7;
    peer.sendTo(q->from, {0x4B, 0x56, 0x52});
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), NLIE_TIMEOUT);
    ASSERT_EQ(AsyncLog::packets.size(), 1u);
    EXPECT_EQ(AsyncLog::packets[0].size(), 3u);
    EXPECT_EQ(d->unsolicitedCount, 1);

    d->lastSequence = 0;
    peer.sendTo(q->from, {0x4B, 0x56, 0x52});
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), NLIE_CRC_MISMATCH)
        << "shorter than a header with CRC mode on";
    SetCRCMode(0);
    peer.sendTo(q->from, {0x4B, 0x56, 0x52});
    length = sizeof buffer;
    EXPECT_EQ(GetResponse(d.get(), buffer, &length, 0, 1, 1), 0);
    EXPECT_EQ(length, 3);
}

TEST_F(EngineTest, ChecksumOfAnswers) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 60, 3), 0);
    Bytes r = request(d.get(), {0x01});
    uint8_t buffer[64];

    struct Case {
        uint32_t crcMode;
        int corrupt; // 0 right CRC, 1 wrong CRC, 2 CRC field 0
        int32_t expected;
    };
    const Case cases[] = {
        {1, 0, 0}, {1, 1, NLIE_CRC_MISMATCH}, {1, 2, 0}, {0, 0, 0}, {0, 1, 0}, {0, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.crcMode << " corrupt " << c.corrupt);
        SetCRCMode(c.crcMode);
        uint16_t errorsBefore = d->crcErrorCount;
        Module module(peer, [&](RawPeer& p) {
            auto q = p.receive();
            if (!q) return;
            Bytes a = answerPacket(q->sequence(), {0x00, 0x00, 0x33}, c.corrupt != 2);
            if (c.corrupt == 1) a[5] ^= 0x01;
            p.sendTo(q->from, a);
        });
        uint16_t length = sizeof buffer;
        EXPECT_EQ(
            _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer, &length, 1, 1),
            c.expected);
        EXPECT_EQ(d->crcErrorCount, errorsBefore + (c.expected == NLIE_CRC_MISMATCH ? 1 : 0));
        if (c.expected == NLIE_CRC_MISMATCH) {
            EXPECT_EQ(length, sizeof buffer) << "the caller's length is left alone";
        }
    }
    EXPECT_EQ(SetCRCMode(1), 0u);
    EXPECT_EQ(SetCRCMode(1), 1u);
    EXPECT_EQ(d->retryCount, 0) << "a CRC mismatch is not retried";
}

// Key mode 1 and a three-byte key: bytes 5, 8, 11, ... are XORed with key byte 0, 6, 9, ...
// with key byte 1; the magic and the sequence are untouched; the checksum is that of the plain
// bytes; and the caller's buffer holds the plain request again afterwards.
TEST_F(EngineTest, ScramblingWithAThreeByteKey) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 0), 0);
    const uint8_t key[3] = {0x11, 0x22, 0x33};
    NLITransport* t = transport.get();
    const Bytes payload = {0x0B, 0x00, 0x16, 0x00, 0x99, 0x98, 0x97};

    // The plain packet first, for comparison.
    Bytes plain = request(d.get(), payload);
    uint16_t length = 0;
    _SendPacket(d.get(), plain.data(), static_cast<uint32_t>(plain.size()), nullptr, &length, 0, 0);
    auto plainSent = peer.receive();
    ASSERT_TRUE(plainSent);

    for (uint32_t mode : {1u, 0x0101u}) {
        SCOPED_TRACE(mode);
        std::memset(&t->scramble, 0, sizeof t->scramble);
        t->scramble.mode = mode;
        std::memcpy(t->scramble.key, key, 3);
        Bytes r = request(d.get(), payload);
        _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0);
        auto got = peer.receive();
        ASSERT_TRUE(got);
        const Bytes& p = got->bytes;
        ASSERT_EQ(p.size(), plainSent->bytes.size());
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(p[i], plainSent->bytes[i]) << i;
        EXPECT_EQ(u16(&p[3]), d->lastSequence);
        for (size_t i = 5; i < p.size(); ++i)
            EXPECT_EQ(p[i], plainSent->bytes[i] ^ key[(i - 5) % 3]) << "byte " << i;
        // The caller's buffer: header filled in, payload plain.
        EXPECT_EQ(Bytes(r.begin() + 9, r.end()), payload);
        EXPECT_EQ(u16(&r[5]), u16(&plainSent->bytes[5]));
        EXPECT_EQ(u16(&r[7]), payload.size());
    }
    // Any other mode (low byte not 1) sends plain bytes.
    t->scramble.mode = 2;
    Bytes r = request(d.get(), payload);
    _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0);
    auto got = peer.receive();
    ASSERT_TRUE(got);
    got->bytes[3] = got->bytes[4] = plainSent->bytes[3] = plainSent->bytes[4] = 0;
    EXPECT_EQ(got->bytes, plainSent->bytes);
    t->scramble.mode = 0;
}

// The sequence counter runs 1 .. 0xFFFF and starts again at 1, never 0. There is no setter:
// the counter is driven through a whole cycle, every number checked on the wire.
TEST_F(EngineTest, SequenceNumbersWrapFromFFFFToOne) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 20, 0), 0);
    Bytes r = request(d.get(), {0x14, 0x00});
    uint16_t length = 0;
    uint16_t previous = 0;
    bool wrapped = false;
    uint32_t sends = 0;
    while (sends < 0x10001u) {
        ASSERT_EQ(
            _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0),
            NLIE_NO_RESPONSE);
        ++sends;
        auto got = peer.receive(1000);
        ASSERT_TRUE(got) << "send " << sends;
        uint16_t s = got->sequence();
        ASSERT_NE(s, 0);
        ASSERT_EQ(s, d->lastSequence);
        if (previous != 0) {
            ASSERT_EQ(s, previous == 0xFFFF ? 1 : previous + 1) << "after " << previous;
        }
        if (previous == 0xFFFF) {
            wrapped = true;
            break;
        }
        previous = s;
    }
    EXPECT_TRUE(wrapped);
}

TEST_F(EngineTest, NLIGetResponseIsOneLook) {
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 60000, 0), 0);
    uint8_t buffer[64];
    uint16_t length = 21;
    // With a one-minute device time-out, one look must still come back at once.
    EXPECT_EQ(NLIGetResponse(d.get(), buffer, &length, 1), NLIE_NO_RESPONSE);
    EXPECT_EQ(length, 21);

    Bytes r = request(d.get(), {0x01});
    length = 0;
    _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), nullptr, &length, 0, 0);
    auto q = peer.receive();
    ASSERT_TRUE(q);
    Bytes a = answerPacket(q->sequence(), {0, 0, 5});
    peer.sendTo(q->from, a);
    pollfd p{static_cast<int>(d->socket), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    length = sizeof buffer;
    EXPECT_EQ(NLIGetResponse(d.get(), buffer, &length, 1), 0);
    EXPECT_EQ(Bytes(buffer, buffer + length), a);
}

// ---------------------------------------------------------------------------------------------
// Two responses

struct TwoResponseCase {
    const char* name;
    uint16_t retries;
    // What the far end does with the n-th request (0-based): 0 ignore, 1 acknowledge,
    // 2 acknowledge and complete, 3 wrong acknowledgement, 4 wrong acknowledgement and complete,
    // 5 short acknowledgement.
    std::vector<int> script;
    uint32_t report;
    int32_t expected;
    uint16_t retryCountGrowth;
};

class TwoResponses : public EngineTest, public testing::WithParamInterface<TwoResponseCase> {};

TEST_P(TwoResponses, PassesShareOneRetryBudget) {
    const TwoResponseCase& c = GetParam();
    Device d;
    ASSERT_EQ(d.openDirect(transport.get(), peer.address(), 50, c.retries), 0);
    size_t requests = 0;
    Bytes r = request(d.get(), {0x0C, 0x00, 0x16, 0x00, 'A'});
    uint8_t buffer[64];
    uint16_t length = sizeof buffer;
    const uint8_t ack[2] = {0x00, 0x00};
    int32_t rc;
    {
        Module module(peer, [&](RawPeer& p) {
            for (int action : c.script) {
                auto q = p.receive(1500);
                if (!q) return;
                ++requests;
                uint16_t s = q->sequence();
                if (action == 1 || action == 2) p.sendTo(q->from, answerPacket(s, {0x00, 0x00}));
                if (action == 3 || action == 4) p.sendTo(q->from, answerPacket(s, {0x01, 0x00}));
                if (action == 5) p.sendTo(q->from, answerPacket(s, {0x00}));
                if (action == 2 || action == 4)
                    p.sendTo(q->from, answerPacket(s, {0x00, 0x00, 0xC0, 0xDE}));
            }
            // Anything after the script is a request too many.
            if (p.receive(300)) ++requests;
        });
        rc = SendPacketTwoResponses(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer,
                                    &length, 1, c.report, 2, ack, 0, 1, 1);
    } // the far end has finished: every request the library sent is counted
    EXPECT_EQ(rc, c.expected);
    EXPECT_EQ(d->retries, c.retries) << "retries restored";
    EXPECT_EQ(d->retryCount, c.retryCountGrowth);
    if (c.expected == 0 || c.expected == NLIE_RETRIES_OCCURRED) {
        ASSERT_EQ(length, 13);
        EXPECT_EQ(u16(buffer + 11), 0xDEC0);
    }
    EXPECT_EQ(requests, c.script.size());
}

INSTANTIATE_TEST_SUITE_P(
    Engine, TwoResponses,
    testing::Values(
        TwoResponseCase{"AckThenCompletion", 2, {2}, 0, 0, 0},
        TwoResponseCase{"AckThenCompletionReported", 2, {2}, 1, 0, 0},
        // The first answer on the second attempt: a warning whatever the report flag says.
        TwoResponseCase{"FirstAnswerRetried", 2, {0, 2}, 0, NLIE_RETRIES_OCCURRED, 1},
        TwoResponseCase{"WrongAck", 2, {3}, 0, NLIE_INVALID_RESPONSE, 0},
        TwoResponseCase{"ShortAck", 2, {5}, 0, NLIE_INVALID_RESPONSE, 0},
        // The second pass does not compare the acknowledgement.
        TwoResponseCase{"SecondPassWrongAck", 2, {1, 4}, 0, NLIE_RETRIES_OCCURRED, 1},
        TwoResponseCase{"CompletionLostOnce", 2, {1, 2}, 0, NLIE_RETRIES_OCCURRED, 1},
        TwoResponseCase{"CompletionNeverComes", 2, {1, 1}, 0, NLIE_TIMEOUT, 2},
        TwoResponseCase{"NoRetries", 0, {1}, 0, NLIE_TIMEOUT, 1},
        // Budget 3: one re-send of the first answer, a lost completion (2 used), one re-send
        // allowed in the second pass, used by its first answer, then the completion is lost
        // again (4 >= 3).
        TwoResponseCase{"SharedBudget", 3, {0, 1, 0, 1}, 0, NLIE_TIMEOUT, 4},
        TwoResponseCase{"NobodyAnswers", 1, {0, 0}, 0, NLIE_TIMEOUT, 1}),
    [](const testing::TestParamInfo<TwoResponseCase>& param) { return param.param.name; });

// ---------------------------------------------------------------------------------------------
// Against the simulated modules

class EngineSimTest : public EngineTest {
  protected:
    void startSim(const std::string& json) {
        sim_ =
            std::make_unique<nlisim::Simulator>(nlisim::Plant::fromJson(nlisim::Json::parse(json)));
        sim_->start();
    }
    // Module `index` on its own endpoint, plain header.
    void openModule(Device& d, size_t index, uint16_t timeoutMs, uint16_t retries) {
        nlisim::Endpoint ep = sim_->moduleEndpoint(index);
        ASSERT_EQ(d.openDirect(transport.get(), loopback(ep.port), timeoutMs, retries), 0);
    }
    int32_t probe(Device& d, Bytes* answer = nullptr, uint32_t report = 1) {
        Bytes r = request(d.get(), {0x00});
        uint8_t buffer[200];
        uint16_t length = sizeof buffer;
        int32_t rc = _SendPacket(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer,
                                 &length, 1, report);
        if (answer) answer->assign(buffer, buffer + length);
        return rc;
    }
    void TearDown() override {
        if (sim_) sim_->stop();
        EngineTest::TearDown();
    }
    std::unique_ptr<nlisim::Simulator> sim_;
};

TEST_F(EngineSimTest, ProbeIsAnswered) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01"}]})");
    Device d;
    openModule(d, 0, 200, 1);
    Bytes answer;
    EXPECT_EQ(probe(d, &answer), 0);
    ASSERT_EQ(answer.size(), 11u);
    EXPECT_EQ(u16(&answer[3]), d->lastSequence);
    EXPECT_EQ(u16(&answer[9]), 0);
}

// The simulator re-sends its previous answer (old sequence) before each new one.
TEST_F(EngineSimTest, StaleAnswersGoToTheHandler) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"lateOldSequence":true}}]})");
    AsyncLog::install();
    Device d;
    openModule(d, 0, 300, 0);
    EXPECT_EQ(probe(d), 0);
    uint16_t first = d->lastSequence;
    EXPECT_TRUE(AsyncLog::packets.empty());
    EXPECT_EQ(probe(d), 0);
    ASSERT_EQ(AsyncLog::packets.size(), 1u);
    EXPECT_EQ(u16(&AsyncLog::packets[0][3]), first);
    EXPECT_EQ(d->unsolicitedCount, 1);
}

TEST_F(EngineSimTest, DuplicateAnswerIsHandedToTheHandlerByTheNextRequest) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"duplicate":true}}]})");
    AsyncLog::install();
    Device d;
    openModule(d, 0, 300, 0);
    EXPECT_EQ(probe(d), 0);
    uint16_t first = d->lastSequence;
    // Let the copy arrive, then ask again: the copy is a stranger to the new request.
    pollfd p{static_cast<int>(d->socket), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_EQ(probe(d), 0);
    ASSERT_GE(AsyncLog::packets.size(), 1u);
    EXPECT_EQ(u16(&AsyncLog::packets[0][3]), first);
}

// Answers delayed beyond the device time-out: the answer to the first attempt arrives during
// the second and goes to the handler; the second answer comes too late as well.
TEST_F(EngineSimTest, DelayedAnswerArrivesDuringTheNextAttempt) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"delayMs":300}}]})");
    AsyncLog::install();
    Device d;
    openModule(d, 0, 200, 1);
    EXPECT_EQ(probe(d), NLIE_TIMEOUT);
    uint16_t second = d->lastSequence;
    ASSERT_EQ(AsyncLog::packets.size(), 1u);
    EXPECT_EQ(u16(&AsyncLog::packets[0][3]), second == 1 ? 0xFFFF : second - 1);
    EXPECT_EQ(d->retryCount, 1);
}

TEST_F(EngineSimTest, ChecksumFaultsOfTheModule) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"badChecksum":true}},
                            {"mac":"00:E0:62:00:00:02","crc":false},
                            {"mac":"00:E0:62:00:00:03","faults":{"badMagic":true}}]})");
    Device bad, zero, magic;
    openModule(bad, 0, 200, 2);
    openModule(zero, 1, 200, 2);
    openModule(magic, 2, 200, 2);
    EXPECT_EQ(probe(bad), NLIE_CRC_MISMATCH);
    EXPECT_EQ(bad->crcErrorCount, 1);
    EXPECT_EQ(bad->retryCount, 0);
    EXPECT_EQ(probe(zero), 0) << "CRC field 0 passes";
    EXPECT_EQ(probe(magic), 0) << "the engine does not test the magic";
    SetCRCMode(0);
    EXPECT_EQ(probe(bad), 0) << "CRC mode off accepts a wrong CRC";
    EXPECT_EQ(bad->crcErrorCount, 1);
}

TEST_F(EngineSimTest, ModuleLosingRequestsIsRetried) {
    startSim(R"({"seed":3,"modules":[{"mac":"00:E0:62:00:00:01","faults":{"dropShare":0.5}}]})");
    Device d;
    openModule(d, 0, 30, 6);
    int retried = 0, plain = 0;
    for (int k = 0; k < 40; ++k) {
        uint16_t before = d->retryCount;
        int32_t rc = probe(d, nullptr, 1);
        if (rc == NLIE_TIMEOUT) continue;
        if (d->retryCount != before) {
            EXPECT_EQ(rc, NLIE_RETRIES_OCCURRED);
            ++retried;
        } else {
            EXPECT_EQ(rc, 0);
            ++plain;
        }
    }
    EXPECT_GT(retried, 0);
    EXPECT_GT(plain, 0);
    uint32_t dropped = sim_->withModule(0, [](nlisim::Module& m) { return m.requestsDropped; });
    EXPECT_GT(dropped, 0u);
}

TEST_F(EngineSimTest, ScrambledRequestsWithTheLibraryKey) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01"},
                            {"mac":"00:E0:62:00:00:02","acceptScrambled":false}]})");
    NLITransport* t = transport.get();
    std::memset(&t->scramble, 0, sizeof t->scramble);
    t->scramble.mode = 1;
    std::memcpy(t->scramble.key, kLibraryKey, sizeof kLibraryKey);
    Device accepting, refusing;
    openModule(accepting, 0, 100, 0);
    openModule(refusing, 1, 100, 0);
    EXPECT_EQ(probe(accepting), 0);
    EXPECT_EQ(probe(refusing), NLIE_TIMEOUT);
    t->scramble.mode = 0;
    EXPECT_EQ(probe(refusing), 0);
}

// A setup write answered twice (acknowledgement, then completion); the first completion lost.
TEST_F(EngineSimTest, TwoResponseWriteWithALostCompletion) {
    startSim(R"({"modules":[{"mac":"00:E0:62:00:00:01",
                             "setup":{"loseCompletions":1,"completionDelayMs":5}}]})");
    Device d;
    openModule(d, 0, 100, 3);
    Bytes r = request(d.get(), {0x0C, 0x00, 0x16, 0x00, 'N', 'o', 'd', 'e', 0});
    uint8_t buffer[200];
    uint16_t length = sizeof buffer;
    const uint8_t ack[2] = {0, 0};
    EXPECT_EQ(SendPacketTwoResponses(d.get(), r.data(), static_cast<uint32_t>(r.size()), buffer,
                                     &length, 1, 0, 2, ack, 0, 1, 1),
              NLIE_RETRIES_OCCURRED);
    EXPECT_EQ(d->retries, 3);
    EXPECT_EQ(d->retryCount, 1);
    ASSERT_GE(length, 11);
    EXPECT_EQ(u16(buffer + 9), 0);
    EXPECT_EQ(u16(buffer + 3), d->lastSequence);
}

} // namespace
