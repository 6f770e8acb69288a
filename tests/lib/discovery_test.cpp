// labels: integration
// Discovery against the simulated modules (and, for answers no module would send, a plain
// loopback socket answering with crafted bytes).
#include "raw_peer.h"

#include "nlisim/sim.h"

#include <memory>
#include <set>
#include <thread>

namespace {

using namespace libtest;

class DiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
        savedTimeout_ = NLIGetQueryTimeout();
    }
    void TearDown() override {
        AsyncLog::remove();
        NLISetQueryTimeout(savedTimeout_);
        NLISetBroadcastAddress(nullptr);
        transport_.reset();
        if (sim_) sim_->stop();
        NLIClose();
    }
    void start(nlisim::Plant plant) {
        sim_ = std::make_unique<nlisim::Simulator>(std::move(plant));
        sim_->start();
        sim_->exportBroadcastAddress();
        transport_ = std::make_unique<UdpTransport>();
    }
    void startJson(const std::string& json) {
        start(nlisim::Plant::fromJson(nlisim::Json::parse(json)));
    }
    int32_t query(NLIDevice* records, uint16_t* count) {
        return NLIQueryDevices(transport_->get(), records, count, NLI_INTERFACE_VERSION);
    }
    nlisim::Mac mac(size_t index) {
        return sim_->withModule(index, [](nlisim::Module& m) { return m.mac; });
    }
    static Bytes ethernet(const NLIDevice& d) {
        return Bytes(d.ethernetAddress, d.ethernetAddress + 6);
    }
    static Bytes bytes(const nlisim::Mac& m) { return Bytes(m.begin(), m.end()); }

    std::unique_ptr<nlisim::Simulator> sim_;
    std::unique_ptr<UdpTransport> transport_;
    uint32_t savedTimeout_ = 600;
};

TEST_F(DiscoveryTest, QueryTimeoutStartsAt600) {
    EXPECT_EQ(NLIGetQueryTimeout(), 600u);
    EXPECT_EQ(NLISetQueryTimeout(2000), 600u);
    EXPECT_EQ(NLIGetQueryTimeout(), 2000u);
    EXPECT_EQ(NLISetQueryTimeout(600), 2000u);
}

// Every module is found once, with the sender address of its answer, its Ethernet address and
// its no-IP-address flag; nothing else of the record is touched; the records open as they are.
TEST_F(DiscoveryTest, FindsEveryModuleReadyToOpen) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01"},
                            {"mac":"00:E0:62:00:00:02","ipNotSet":true},
                            {"mac":"00:E0:62:00:00:03","discoveryMagic":"A"}]})");
    NLISetQueryTimeout(150);
    NLIDevice records[5];
    std::memset(records, 0xA5, sizeof records);
    uint16_t count = 5;
    ASSERT_EQ(query(records, &count), 0);
    ASSERT_EQ(count, 3);

    std::set<size_t> seen;
    for (uint16_t k = 0; k < count; ++k) {
        const NLIDevice& r = records[k];
        size_t index = 99;
        for (size_t i = 0; i < 3; ++i)
            if (ethernet(r) == bytes(mac(i))) index = i;
        ASSERT_LT(index, 3u) << "record " << k << " has an Ethernet address of no module";
        seen.insert(index);
        sockaddr_in from{};
        std::memcpy(&from, r.address, sizeof from);
        EXPECT_EQ(from.sin_family, AF_INET);
        EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
        EXPECT_EQ(ntohs(from.sin_port), sim_->moduleEndpoint(index).port);
        EXPECT_EQ(r.address[16], 0);
        EXPECT_EQ(r.address[17], 0);
        EXPECT_EQ(r.address[18], 0);
        EXPECT_EQ(r.ipNotSet, index == 1 ? 1 : 0);
        // Not written by discovery.
        EXPECT_EQ(r.timeoutMs, 0xA5A5);
        EXPECT_EQ(r.lastSequence, 0xA5A5);
        EXPECT_EQ(r.reserved0, 0xA5A5);
    }
    EXPECT_EQ(seen.size(), 3u);
    for (int k = 3; k < 5; ++k)
        EXPECT_EQ(records[k].timeoutMs, 0xA5A5) << "beyond the count";

    // Opened as found: directly when the module has an IP address, else only in broadcast form.
    for (uint16_t k = 0; k < count; ++k) {
        NLIDevice d = records[k];
        d.transport = nullptr;
        bool noIp = d.ipNotSet == 1;
        int32_t rc = NLIOpenDevice(transport_->get(), &d, 3, 200, 1, 0);
        NLICloseDevice(&d);
        if (noIp) {
            EXPECT_EQ(rc, NLIE_IP_ADDR_NOT_INITIALIZED);
            ASSERT_EQ(NLIOpenDevice(transport_->get(), &d, 3, 200, 1, 1), 0);
        } else {
            ASSERT_EQ(rc, 0);
            ASSERT_EQ(NLIOpenDevice(transport_->get(), &d, 3, 200, 1, 0), 0);
        }
        uint8_t request[17] = {};
        request[d.headerLength] = 0x00;
        uint8_t answer[200];
        uint16_t length = sizeof answer;
        EXPECT_EQ(_SendPacket(&d, request, d.headerLength + 1u, answer, &length, 1, 0), 0);
        EXPECT_EQ(length, 11);
        EXPECT_EQ(NLICloseDevice(&d), 0);
    }
}

TEST_F(DiscoveryTest, MoreAnswersThanRoom) {
    start(nlisim::Plant::generate(501, 11));
    NLISetQueryTimeout(600);
    std::vector<NLIDevice> records(501);
    std::memset(records.data(), 0, sizeof(NLIDevice) * records.size());
    records[500].timeoutMs = 0x5A5A; // beyond the room
    uint16_t count = 500;
    ASSERT_EQ(query(records.data(), &count), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 501);
    std::set<Bytes> plant;
    for (size_t i = 0; i < 501; ++i)
        plant.insert(bytes(mac(i)));
    std::set<Bytes> found;
    for (size_t k = 0; k < 500; ++k) {
        Bytes e = ethernet(records[k]);
        EXPECT_TRUE(plant.count(e)) << "record " << k;
        found.insert(e);
    }
    EXPECT_EQ(found.size(), 500u) << "500 different modules filled the room";
    EXPECT_EQ(records[500].timeoutMs, 0x5A5A);
    for (uint8_t b : records[500].ethernetAddress)
        EXPECT_EQ(b, 0);
}

TEST_F(DiscoveryTest, NoRoomCountsEveryAnswer) {
    start(nlisim::Plant::generate(3, 5));
    NLISetQueryTimeout(150);
    NLIDevice sentinel;
    std::memset(&sentinel, 0x77, sizeof sentinel);
    uint16_t count = 0;
    EXPECT_EQ(query(&sentinel, &count), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3);
    for (size_t i = 0; i < sizeof sentinel; ++i)
        ASSERT_EQ(reinterpret_cast<uint8_t*>(&sentinel)[i], 0x77) << "byte " << i;
    count = 0;
    EXPECT_EQ(query(nullptr, &count), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3);
}

TEST_F(DiscoveryTest, NobodyAnswers) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"silent":true}}]})");
    NLISetQueryTimeout(100);
    NLIDevice records[2];
    uint16_t count = 2;
    EXPECT_EQ(query(records, &count), 0);
    EXPECT_EQ(count, 0);
}

// Answers that are not answers: no 0x55 0xAA, a wrong magic. They are not counted.
TEST_F(DiscoveryTest, AnswersWithoutTheSignatureOrMagicAreIgnored) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01"},
                            {"mac":"00:E0:62:00:00:02","faults":{"noSignature":true}},
                            {"mac":"00:E0:62:00:00:03","faults":{"badMagic":true}}]})");
    NLISetQueryTimeout(150);
    NLIDevice records[4];
    uint16_t count = 4;
    ASSERT_EQ(query(records, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ethernet(records[0]), bytes(mac(0)));
}

TEST_F(DiscoveryTest, ModuleAnsweringTwiceIsListedTwice) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"duplicate":true}}]})");
    NLISetQueryTimeout(150);
    NLIDevice records[4];
    uint16_t count = 4;
    ASSERT_EQ(query(records, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(ethernet(records[0]), ethernet(records[1]));
}

// Before each answer the module re-sends its previous one, which carries the sequence number of
// the previous query: handed to the asynchronous handler, not counted.
TEST_F(DiscoveryTest, AnswerToAnOlderQueryIsNotCounted) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"lateOldSequence":true}},
                            {"mac":"00:E0:62:00:00:02"}]})");
    NLISetQueryTimeout(150);
    AsyncLog::install();
    NLIDevice records[4];
    uint16_t count = 4;
    ASSERT_EQ(query(records, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(AsyncLog::packets.empty()) << "no previous answer yet";
    count = 4;
    ASSERT_EQ(query(records, &count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(AsyncLog::packets.size(), 1u);
    EXPECT_EQ(AsyncLog::packets[0][9], 0x55);
    EXPECT_EQ(Bytes(AsyncLog::packets[0].begin() + 11, AsyncLog::packets[0].begin() + 17),
              bytes(mac(0)));
}

// A bad CRC stops the collection with that error, and the count is not written.
TEST_F(DiscoveryTest, BadChecksumStopsTheCollection) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"badChecksum":true}}]})");
    NLISetQueryTimeout(150);
    NLIDevice records[4];
    uint16_t count = 4;
    EXPECT_EQ(query(records, &count), NLIE_CRC_MISMATCH);
    EXPECT_EQ(count, 4);
    SetCRCMode(0);
    EXPECT_EQ(query(records, &count), 0);
    EXPECT_EQ(count, 1);
    SetCRCMode(1);
}

// The query time-out decides how long answers are collected: a module answering after 700 ms
// is missed with 200 ms and found with 1500 ms.
TEST_F(DiscoveryTest, QueryTimeoutDecidesHowLongAnswersAreCollected) {
    startJson(R"({"modules":[{"mac":"00:E0:62:00:00:01","faults":{"delayMs":700}}]})");
    NLIDevice records[2];
    uint16_t count = 2;
    NLISetQueryTimeout(200);
    EXPECT_EQ(query(records, &count), 0);
    EXPECT_EQ(count, 0);
    NLISetQueryTimeout(1500);
    count = 2;
    EXPECT_EQ(query(records, &count), 0);
    EXPECT_EQ(count, 1);
}

TEST_F(DiscoveryTest, QueryWithADataItemFindsTheModulesHoldingIt) {
    startJson(R"({"modules":[
        {"mac":"00:E0:62:00:00:01","setup":{"items":{"22":"41 42 43"}}},
        {"mac":"00:E0:62:00:00:02","setup":{"items":{"22":"41 42"}}},
        {"mac":"00:E0:62:00:00:03","setup":{"items":{"22":"41 42 43"}}}]})");
    NLISetQueryTimeout(150);
    NLIDevice records[4];
    uint16_t count = 4;
    const uint8_t data[3] = {0x41, 0x42, 0x43};
    ASSERT_EQ(NLIQueryDeviceData(transport_->get(), records, &count, 3, 22, data, 3), 0);
    ASSERT_EQ(count, 2);
    std::set<Bytes> found{ethernet(records[0]), ethernet(records[1])};
    EXPECT_EQ(found, (std::set<Bytes>{bytes(mac(0)), bytes(mac(2))}));
    EXPECT_EQ(NLIQueryDeviceData(transport_->get(), records, &count, 3, 22, nullptr, 3),
              NLIE_INVALID_REQUEST);
}

TEST_F(DiscoveryTest, SerialLinkHasNoDiscovery) {
    NLITransport t;
    std::memset(&t, 0, sizeof t);
    t.kind = TRANSPORT_SERIAL;
    t.protocol = PROTOCOL_SERIAL;
    NLIDevice records[2];
    uint16_t count = 2;
    EXPECT_EQ(NLIQueryDevices(&t, records, &count, 3), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(NLIQueryDevices(nullptr, records, &count, 3), NLIE_NULL_TRANSPORT);
}

TEST_F(DiscoveryTest, ArgumentsAreChecked) {
    RawPeer peer;
    ASSERT_EQ(NLISetBroadcastAddress(peer.text().c_str()), 0);
    UdpTransport t;
    NLIDevice records[2];
    uint16_t count = 2;
    EXPECT_EQ(NLIQueryDevices(t.get(), records, nullptr, 3), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIQueryDevices(t.get(), nullptr, &count, 3), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIQueryDevices(t.get(), records, &count, 2), NLIE_VERSION_NOT_CORRECT);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(peer.drain().empty());
}

// ---------------------------------------------------------------------------------------------
// Crafted answers from a plain socket

class CraftedAnswers : public DiscoveryTest {
  protected:
    void SetUp() override {
        DiscoveryTest::SetUp();
        ASSERT_EQ(NLISetBroadcastAddress(peer_.text().c_str()), 0);
        transport_ = std::make_unique<UdpTransport>();
        NLISetQueryTimeout(200);
    }
    // Answers the first query with `answers` (each given the query's sequence number unless it
    // carries its own) and returns what was queried.
    std::thread answerWith(std::vector<Bytes> answers, Datagram* queried) {
        return std::thread([this, answers, queried] {
            auto q = peer_.receive(2000);
            if (!q) return;
            *queried = *q;
            for (Bytes a : answers) {
                if (a.size() >= 5 && a[3] == 0 && a[4] == 0) {
                    a[3] = static_cast<uint8_t>(q->sequence());
                    a[4] = static_cast<uint8_t>(q->sequence() >> 8);
                    if (a.size() >= 9 && (a[5] || a[6])) {
                        uint16_t crc = crcBitwise(a.data() + 9, a.size() - 9);
                        a[5] = static_cast<uint8_t>(crc);
                        a[6] = static_cast<uint8_t>(crc >> 8);
                    }
                }
                peer_.sendTo(q->from, a);
            }
        });
    }
    // A discovery answer cut (or padded) to `length` bytes, CRC filled in later.
    static Bytes answer(size_t length, uint8_t last, uint8_t noIp) {
        Bytes payload{0x55, 0xAA, 0x00, 0xE0, 0x62, 0x00, 0x00, last, noIp, 1, 0, 0};
        payload.resize(length - 9);
        Bytes a = answerPacket(0, payload, true);
        a[5] = 1; // marks "compute the CRC"
        return a;
    }
    RawPeer peer_;
};

// Answers shorter than the record they fill are not read past their end: fewer than 17 bytes
// is no answer; 17 bytes is an answer without the no-IP-address byte.
TEST_F(CraftedAnswers, ShortAnswersAreNotReadPastTheirEnd) {
    Datagram queried;
    std::thread far = answerWith({answer(11, 1, 1), answer(16, 2, 1), answer(17, 3, 1),
                                  answer(18, 4, 1), answer(18, 5, 0), answer(21, 6, 1)},
                                 &queried);
    NLIDevice records[8];
    std::memset(records, 0, sizeof records);
    uint16_t count = 8;
    EXPECT_EQ(query(records, &count), 0);
    far.join();
    ASSERT_EQ(count, 4);
    const uint8_t lasts[4] = {3, 4, 5, 6};
    const uint8_t noIp[4] = {0, 1, 0, 1};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(records[k].ethernetAddress[5], lasts[k]) << k;
        EXPECT_EQ(records[k].ipNotSet, noIp[k]) << k;
        sockaddr_in from{};
        std::memcpy(&from, records[k].address, sizeof from);
        EXPECT_EQ(from.sin_port, peer_.address().sin_port);
    }
}

TEST_F(CraftedAnswers, OnlyTheSignatureAndMagicMakeAnAnswer) {
    Datagram queried;
    Bytes noSignature = answer(18, 1, 0);
    noSignature[10] = 0xAB;
    Bytes magicA = answer(18, 2, 0);
    magicA[2] = 0x41;
    Bytes magicX = answer(18, 3, 0);
    magicX[2] = 0x58;
    Bytes magicK = answer(18, 4, 0);
    magicK[1] = 0x57;
    Bytes older = answer(18, 5, 0); // another query's sequence number
    older[3] = 0xFE;
    older[4] = 0xFF;
    std::thread far = answerWith({noSignature, magicA, magicX, magicK, older}, &queried);
    NLIDevice records[8];
    uint16_t count = 8;
    EXPECT_EQ(query(records, &count), 0);
    far.join();
    ASSERT_EQ(count, 1);
    EXPECT_EQ(records[0].ethernetAddress[5], 2);
}

// A query with more than 512 bytes of item data sends only 512.
TEST_F(CraftedAnswers, ItemDataIsCutTo512Bytes) {
    Bytes data(600);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    NLIDevice records[2];
    uint16_t count = 2;
    NLISetQueryTimeout(20);
    EXPECT_EQ(NLIQueryDeviceData(transport_->get(), records, &count, 3, 0x1234, data.data(), 600),
              0);
    auto q = peer_.receive();
    ASSERT_TRUE(q);
    const Bytes& p = q->bytes;
    ASSERT_EQ(p.size(), 9u + 6 + 512);
    EXPECT_EQ(u16(&p[7]), 6 + 512);
    EXPECT_EQ(Bytes(p.begin() + 9, p.begin() + 15), Bytes({0x09, 0x00, 0x34, 0x12, 0x00, 0x02}));
    EXPECT_EQ(Bytes(p.begin() + 15, p.end()), Bytes(data.begin(), data.begin() + 512));

    count = 2;
    EXPECT_EQ(NLIQueryDeviceData(transport_->get(), records, &count, 3, 22, data.data(), 3), 0);
    q = peer_.receive();
    ASSERT_TRUE(q);
    EXPECT_EQ(hex(Bytes(q->bytes.begin() + 7, q->bytes.end())), "09 00 09 00 16 00 03 00 00 01 02");
    count = 2;
    EXPECT_EQ(NLIQueryDeviceData(transport_->get(), records, &count, 3, 22, nullptr, 0), 0);
    q = peer_.receive();
    ASSERT_TRUE(q);
    EXPECT_EQ(hex(Bytes(q->bytes.begin() + 7, q->bytes.end())), "06 00 09 00 16 00 00 00");
}

TEST_F(CraftedAnswers, QueryIsABroadcastWithThePlainHeader) {
    Datagram queried;
    std::thread far = answerWith({}, &queried);
    NLIDevice records[2];
    uint16_t count = 2;
    NLISetQueryTimeout(20);
    EXPECT_EQ(query(records, &count), 0);
    far.join();
    ASSERT_EQ(queried.bytes.size(), 10u);
    EXPECT_EQ(queried.bytes[9], 0x05);
    EXPECT_EQ(u16(&queried.bytes[7]), 1);
}

TEST_F(DiscoveryTest, IpxDiscoveryReportsTheOpenError) {
    NLITransport t;
    std::memset(&t, 0, sizeof t);
    t.kind = TRANSPORT_WINSOCK;
    t.protocol = PROTOCOL_IPX;
    ASSERT_EQ(NLIOpenTransport(&t, 3, nullptr), 0);
    NLIDevice records[2];
    uint16_t count = 2;
    NLISetQueryTimeout(20);
    int32_t rc = NLIQueryDevices(&t, records, &count, 3);
    NLICloseTransport(&t);
    if (rc == 0) GTEST_SKIP() << "this kernel has IPX sockets";
    EXPECT_GE(rc, 10004);
    EXPECT_LE(rc, 11004);
    EXPECT_EQ(count, 2) << "the count is not written";
}

} // namespace
