// labels: integration
// The simulator's core over real loopback sockets and a real pseudo-terminal: discovery,
// routing of plain and addressed requests, sequence numbers, checksums, scrambling, the handler
// mechanism and the serial link. The client side is raw_client.h, built from the wire format.
#include "raw_client.h"

#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <thread>

using namespace rawclient;
using nlisim::Bytes;
using nlisim::Endpoint;
using nlisim::getU16;
using nlisim::Json;
using nlisim::Mac;
using nlisim::Plant;
using nlisim::Simulator;

namespace {

constexpr uint8_t kTestFunction = 0x7E; // a function code no module feature uses

// Test handler: 0x7E <mode> ...
//   mode 0: two responses, ack "A" now, completion "C" + sequence after 30 ms
//   mode 1: echoes the payload with the request's flags appended
//   mode 2: throws (a broken feature)
NLISIM_REGISTER_HANDLERS {
    nlisim::registerHandler(kTestFunction,
                            [](nlisim::Module&, const nlisim::Request& req, nlisim::Reply& reply) {
                                uint8_t mode = req.payload.size() > 1 ? req.payload[1] : 0;
                                if (mode == 0) {
                                    Bytes done{'C'};
                                    nlisim::putU16(done, req.sequence);
                                    reply.twoResponses(Bytes{'A'}, 30, done);
                                } else if (mode == 1) {
                                    Bytes echo = req.payload;
                                    echo.push_back(req.addressed);
                                    echo.push_back(req.broadcast);
                                    echo.push_back(req.serial);
                                    echo.push_back(req.scrambled);
                                    echo.push_back(req.plant != nullptr);
                                    reply.send(echo);
                                } else {
                                    throw std::runtime_error("test handler refuses");
                                }
                            });
}

const char* kPlant = R"({
  "seed": 5,
  "modules": [
    { "mac": "00:E0:62:00:00:01", "family": 1, "name": "plain" },
    { "mac": "00:E0:62:00:00:02", "family": 0, "ipNotSet": true, "discoveryMagic": "A" },
    { "mac": "00:E0:62:00:00:03", "family": 4, "crc": false },
    { "mac": "00:E0:62:00:00:04", "family": 2, "acceptScrambled": false }
  ]
})";

Mac mac(uint8_t last) {
    return Mac{0x00, 0xE0, 0x62, 0x00, 0x00, last};
}
Bytes bytesOf(const Mac& m) {
    return Bytes(m.begin(), m.end());
}

class Core : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = std::make_unique<Simulator>(Plant::fromJson(Json::parse(kPlant)));
        sim->start();
        bc = sim->broadcastEndpoint();
    }
    Endpoint ep(size_t i) { return sim->moduleEndpoint(i); }

    // Sends a probe to module `barrierModule` through `to` and receives up to its answer: every
    // answer the simulator sent for earlier requests on the same endpoint is in front of it.
    std::vector<Answer> barrier(const Endpoint& to, uint16_t sequence, size_t barrierModule = 0) {
        udp.send(to, build(sequence, {0x00}, mac(static_cast<uint8_t>(barrierModule + 1))));
        auto got = udp.until(sequence);
        if (!got.empty()) got.pop_back();
        return got;
    }

    std::unique_ptr<Simulator> sim;
    Endpoint bc;
    Udp udp;
};

TEST_F(Core, DiscoveryIsAnsweredByEveryModuleFromItsOwnEndpoint) {
    udp.send(bc, build(0x1234, {0x05}));
    std::map<uint16_t, Answer> byPort;
    for (int k = 0; k < 4; ++k) {
        auto a = udp.receive();
        ASSERT_TRUE(a) << "only " << k << " answers";
        byPort[a->fromPort] = *a;
    }
    EXPECT_TRUE(udp.drain().empty());
    ASSERT_EQ(byPort.size(), 4u);

    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("module " + std::to_string(i));
        ASSERT_TRUE(byPort.count(ep(i).port));
        const Answer& a = byPort[ep(i).port];
        EXPECT_EQ(a.fromAddress, "127.0.0.1");
        ASSERT_GE(a.bytes.size(), 18u);
        EXPECT_EQ(a.bytes[0], 0x4B);
        EXPECT_EQ(a.bytes[1], 0x56);
        EXPECT_EQ(a.bytes[2], i == 1 ? 0x41 : 0x52); // module 1 answers discovery with 'A'
        EXPECT_EQ(a.sequence(), 0x1234);
        EXPECT_EQ(a.dataLength(), a.bytes.size() - 9);
        if (i == 2)
            EXPECT_EQ(a.crcField(), 0); // CRC off
        else
            EXPECT_TRUE(a.crcMatches());
        EXPECT_EQ(a.bytes[9], 0x55);
        EXPECT_EQ(a.bytes[10], 0xAA);
        EXPECT_EQ(Bytes(a.bytes.begin() + 11, a.bytes.begin() + 17),
                  bytesOf(mac(static_cast<uint8_t>(i + 1))));
        EXPECT_EQ(a.bytes[17], i == 1 ? 1 : 0); // ipNotSet
    }
    auto c = sim->counters();
    EXPECT_EQ(c.requestsReceived, 4u);
    EXPECT_EQ(c.answersSent, 4u);
}

TEST_F(Core, OnlyDiscoveryAnswersCarryTheAlternativeMagic) {
    udp.send(ep(1), build(7, {0x00}));
    auto a = udp.receive();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->bytes[2], 0x52);
}

TEST_F(Core, AddressedBroadcastReachesOnlyItsModule) {
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("module " + std::to_string(i));
        uint16_t seq = static_cast<uint16_t>(100 + i);
        udp.send(bc, build(seq, {kTestFunction, 1, 0xAB}, mac(static_cast<uint8_t>(i + 1))));
        auto before = barrier(bc, static_cast<uint16_t>(200 + i), (i + 1) % 4);
        ASSERT_EQ(before.size(), 1u);
        EXPECT_EQ(before[0].fromPort, ep(i).port);
        EXPECT_EQ(before[0].sequence(), seq);
        // The handler saw the payload from the function code on, with the addressed flags.
        EXPECT_EQ(before[0].payload(), (Bytes{kTestFunction, 1, 0xAB, 1, 1, 0, 0, 1}));
    }
    EXPECT_EQ(sim->withModule(0, [](nlisim::Module& m) { return m.requestsReceived; }), 2u);
}

TEST_F(Core, AddressedRequestForAnUnknownModuleIsIgnored) {
    udp.send(bc, build(1, {0x00}, mac(0x99)));
    EXPECT_TRUE(barrier(bc, 2).empty());
    EXPECT_EQ(sim->counters().notForUs, 1u);
    EXPECT_EQ(sim->counters().requestsReceived, 1u); // the barrier only
}

TEST_F(Core, ModuleEndpointTakesPlainAndOwnAddressedRequestsOnly) {
    struct Case {
        const char* name;
        std::optional<Mac> address;
        bool answered;
    } cases[] = {{"plain", std::nullopt, true},
                 {"own address", mac(3), true},
                 {"another module's address", mac(1), false}};
    uint16_t seq = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        udp.send(ep(2), build(seq, {kTestFunction, 1}, c.address));
        auto before = barrier(ep(2), static_cast<uint16_t>(seq + 1), 2);
        ASSERT_EQ(before.size(), c.answered ? 1u : 0u);
        if (c.answered) {
            EXPECT_EQ(before[0].fromPort, ep(2).port);
            // addressed flag as sent, never "broadcast" on the module's own endpoint
            EXPECT_EQ(before[0].payload(),
                      (Bytes{kTestFunction, 1, c.address ? uint8_t{1} : uint8_t{0}, 0, 0, 0, 1}));
        }
        seq = static_cast<uint16_t>(seq + 2);
    }
}

TEST_F(Core, AnswersCarryTheRequestSequence) {
    for (uint16_t seq : {uint16_t{1}, uint16_t{2}, uint16_t{0x00FF}, uint16_t{0x0100},
                         uint16_t{0x8000}, uint16_t{0xFFFF}, uint16_t{0}}) {
        udp.send(ep(0), build(seq, {0x00}));
        auto a = udp.receive();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->sequence(), seq);
        EXPECT_EQ(a->payload(), (Bytes{0x00, 0x00})); // the probe's answer: status 0
    }
}

TEST_F(Core, RequestChecksum) {
    struct Case {
        const char* name;
        Crc crc;
        bool answered;
    } cases[] = {{"correct CRC", Crc::Correct, true},
                 {"CRC field 0 (CRC mode off)", Crc::Zero, true},
                 {"wrong CRC", Crc::Wrong, false}};
    uint16_t seq = 1;
    uint64_t ignored = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RequestSpec r;
        r.sequence = seq;
        r.payload = {kTestFunction, 1, 0x10, 0x20};
        r.address = mac(1);
        r.crc = c.crc;
        udp.send(bc, build(r));
        auto before = barrier(bc, static_cast<uint16_t>(seq + 1), 1);
        EXPECT_EQ(before.size(), c.answered ? 1u : 0u);
        if (!c.answered) ++ignored;
        EXPECT_EQ(sim->counters().badCrcIgnored, ignored);
        seq = static_cast<uint16_t>(seq + 2);
    }
    EXPECT_EQ(sim->withModule(0, [](nlisim::Module& m) { return m.badCrcIgnored; }), 1u);
}

TEST_F(Core, AnswerChecksumFollowsTheModule) {
    Bytes payload{kTestFunction, 1, 1, 2, 3, 4, 5};
    udp.send(ep(0), build(1, payload));
    udp.send(ep(2), build(2, payload));
    auto a = udp.until(1);
    auto b = udp.until(2);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_TRUE(a.back().crcMatches());
    EXPECT_NE(a.back().crcField(), 0);
    EXPECT_EQ(b.back().crcField(), 0);
}

TEST_F(Core, ScrambledRequests) {
    struct Case {
        const char* name;
        size_t module;
        bool addressed;
        bool answered;
    } cases[] = {{"accepted, plain header", 0, false, true},
                 {"accepted, addressed header", 0, true, true},
                 {"refused by a module without the key", 3, false, false},
                 {"refused, addressed header", 3, true, false}};
    uint16_t seq = 40;
    uint64_t refused = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RequestSpec r;
        r.sequence = seq;
        r.payload = {kTestFunction, 1, 0x5A};
        if (c.addressed) r.address = mac(static_cast<uint8_t>(c.module + 1));
        r.scramble = true;
        udp.send(ep(c.module), build(r));
        auto before = barrier(ep(c.module), static_cast<uint16_t>(seq + 1), c.module);
        ASSERT_EQ(before.size(), c.answered ? 1u : 0u);
        if (c.answered) {
            // Answers are never scrambled: the plain reading holds.
            const Answer& a = before[0];
            EXPECT_EQ(a.dataLength(), a.bytes.size() - 9);
            EXPECT_TRUE(a.crcMatches());
            EXPECT_EQ(a.payload(), (Bytes{kTestFunction, 1, 0x5A, c.addressed, 0, 0, 1, 1}));
        } else {
            ++refused;
        }
        EXPECT_EQ(sim->counters().scrambledIgnored, refused);
        seq = static_cast<uint16_t>(seq + 2);
    }
}

TEST_F(Core, ScrambledDiscoveryIsAnsweredByTheModulesWithTheKey) {
    RequestSpec r;
    r.sequence = 9;
    r.payload = {0x05};
    r.scramble = true;
    udp.send(bc, build(r));
    auto before = barrier(bc, 10);
    std::set<uint16_t> ports;
    for (auto& a : before)
        ports.insert(a.fromPort);
    EXPECT_EQ(ports, (std::set<uint16_t>{ep(0).port, ep(1).port, ep(2).port}));
}

TEST_F(Core, MalformedPacketsAreIgnored) {
    std::vector<Bytes> junk = {
        {0x4B, 0x56},                                        // shorter than a header
        {0x4B, 0x56, 0x52, 1, 0, 0, 0, 0, 0},                // header without payload
        {0x4B, 0x56, 0x53, 1, 0, 0, 0, 1, 0, 0x00},          // wrong magic
        {0x4B, 0x56, 0x52, 1, 0, 0, 0, 5, 0, 0x00},          // length fits neither reading
        {0x4B, 0x56, 0x52, 1, 0, 0, 0, 4, 0, 0x15, 1, 2, 3}, // addressed header cut short
    };
    for (auto& j : junk)
        udp.send(ep(0), j);
    EXPECT_TRUE(barrier(ep(0), 77).empty());
    EXPECT_EQ(sim->counters().malformedIgnored, junk.size());
}

TEST_F(Core, UnknownFunctionCodes) {
    // Answered with status 113 when sent to one module ...
    udp.send(ep(0), build(1, {0xEF, 0x10}));
    auto a = udp.until(1);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.back().payload(), (Bytes{113, 0}));
    udp.send(bc, build(2, {0xEF, 0x10}, mac(2)));
    auto b = udp.until(2);
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b.back().payload(), (Bytes{113, 0}));
    // ... and not at all on a plain broadcast.
    udp.send(bc, build(3, {0xEF}));
    EXPECT_TRUE(barrier(bc, 4).empty());
}

TEST_F(Core, TwoResponsesComeInOrderWithTheSameSequence) {
    udp.send(bc, build(0x4242, {kTestFunction, 0}, mac(1)));
    auto first = udp.receive();
    auto second = udp.receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->payload(), Bytes{'A'});
    EXPECT_EQ(second->payload(), (Bytes{'C', 0x42, 0x42}));
    EXPECT_EQ(first->sequence(), 0x4242);
    EXPECT_EQ(second->sequence(), 0x4242);
}

TEST_F(Core, AThrowingHandlerAnswersNothingAndTheSimulatorGoesOn) {
    udp.send(ep(0), build(1, {kTestFunction, 2}));
    EXPECT_TRUE(barrier(ep(0), 2).empty());
}

TEST_F(Core, OfflineModuleIgnoresEverything) {
    sim->withModule(0, [](nlisim::Module& m) {
        m.offlineUntil = std::chrono::steady_clock::now() + std::chrono::hours(1);
        return 0;
    });
    udp.send(bc, build(1, {0x05}));
    auto before = barrier(bc, 2, 1);
    EXPECT_EQ(before.size(), 3u);
    for (auto& a : before)
        EXPECT_NE(a.fromPort, ep(0).port);
    sim->withModule(0, [](nlisim::Module& m) {
        m.offlineUntil = {};
        return 0;
    });
    EXPECT_EQ(barrier(bc, 3).size(), 0u); // module 0 answers the barrier itself again
}

TEST_F(Core, QueryWithDataItemUsesTheItemLookup) {
    nlisim::ItemLookup saved = nlisim::itemLookup();
    nlisim::setItemLookup([](nlisim::Module& m, uint16_t item, Bytes& data) {
        if (item != 22) return false;
        data.assign(m.name.begin(), m.name.end());
        return true;
    });
    auto query = [](uint16_t item, const std::string& text) {
        Bytes p{0x09, 0x00};
        nlisim::putU16(p, item);
        nlisim::putU16(p, static_cast<uint16_t>(text.size()));
        p.insert(p.end(), text.begin(), text.end());
        return p;
    };
    struct Case {
        const char* name;
        Bytes payload;
        size_t answers;
    } cases[] = {
        {"matching item", query(22, "plain"), 1},
        {"prefix only", query(22, "pla"), 0},
        {"longer", query(22, "plainer"), 0},
        {"item not held", query(23, "plain"), 0},
        {"length beyond the payload", Bytes{0x09, 0x00, 22, 0, 9, 0, 'p'}, 0},
        {"sub-function not 0", Bytes{0x09, 0x01, 22, 0, 5, 0, 'p', 'l', 'a', 'i', 'n'}, 0}};
    uint16_t seq = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        udp.send(bc, build(seq, c.payload));
        auto before = barrier(bc, static_cast<uint16_t>(seq + 1));
        ASSERT_EQ(before.size(), c.answers);
        if (c.answers) {
            EXPECT_EQ(before[0].fromPort, ep(0).port);
            EXPECT_EQ(before[0].bytes[9], 0x55);
            EXPECT_EQ(before[0].bytes[10], 0xAA);
        }
        seq = static_cast<uint16_t>(seq + 2);
    }
    nlisim::setItemLookup(saved);
}

TEST_F(Core, CountsAndLookups) {
    EXPECT_EQ(sim->moduleCount(), 4u);
    EXPECT_EQ(sim->moduleIndex(mac(3)), std::optional<size_t>(2));
    EXPECT_EQ(sim->moduleIndex(mac(9)), std::nullopt);
    EXPECT_THROW(sim->moduleEndpoint(4), std::out_of_range);
    EXPECT_EQ(sim->serialPath(), "");
    sim->exportBroadcastAddress();
    EXPECT_EQ(std::string(getenv("NLI_BROADCAST_ADDRESS")), bc.text());
}

TEST(CoreLifecycle, StopsRestartsAndRefusesBadOptions) {
    Simulator sim(Plant::generate(3, 2));
    EXPECT_FALSE(sim.running());
    EXPECT_EQ(sim.broadcastEndpoint().port, 0);
    sim.start();
    EXPECT_TRUE(sim.running());
    EXPECT_NE(sim.broadcastEndpoint().port, 0);
    sim.stop();
    EXPECT_FALSE(sim.running());
    sim.stop(); // twice is harmless
    sim.start();
    Udp udp;
    udp.send(sim.moduleEndpoint(2), build(5, {0x00}));
    auto a = udp.receive();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fromPort, sim.moduleEndpoint(2).port);

    nlisim::Options badAddress;
    badAddress.bindAddress = "localhost:1";
    EXPECT_THROW(Simulator(Plant::generate(1), badAddress).start(), std::runtime_error);
    nlisim::Options badSerial;
    badSerial.serial = true;
    badSerial.serialModule = 3;
    EXPECT_THROW(Simulator(Plant::generate(3), badSerial).start(), std::runtime_error);
    nlisim::Options taken;
    taken.broadcastPort = sim.broadcastEndpoint().port;
    try {
        Simulator(Plant::generate(1), taken).start();
        ADD_FAILURE() << "a port in use was bound twice";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(std::to_string(taken.broadcastPort)),
                  std::string::npos)
            << e.what();
    }
}

TEST(CoreLarge, SixHundredModulesAreAllDiscovered) {
    Simulator sim(Plant::generate(600, 11));
    sim.start();
    Udp udp;
    udp.send(sim.broadcastEndpoint(), build(3, {0x05}));
    std::set<uint16_t> ports;
    std::set<Mac> macs;
    for (int k = 0; k < 600; ++k) {
        auto a = udp.receive();
        ASSERT_TRUE(a) << "only " << k << " answers";
        ASSERT_GE(a->bytes.size(), 17u);
        ASSERT_EQ(a->sequence(), 3);
        ports.insert(a->fromPort);
        Mac m;
        std::copy(a->bytes.begin() + 11, a->bytes.begin() + 17, m.begin());
        macs.insert(m);
    }
    EXPECT_EQ(ports.size(), 600u);
    EXPECT_EQ(macs.size(), 600u);
    for (size_t i = 0; i < 600; i += 97) {
        Mac m = sim.withModule(i, [](nlisim::Module& mod) { return mod.mac; });
        EXPECT_TRUE(macs.count(m));
        EXPECT_TRUE(ports.count(sim.moduleEndpoint(i).port));
    }
    // Addressed requests reach any of them through the one broadcast endpoint.
    Mac last = sim.withModule(599, [](nlisim::Module& mod) { return mod.mac; });
    udp.send(sim.broadcastEndpoint(), build(4, {0x00}, last));
    auto a = udp.until(4);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.back().fromPort, sim.moduleEndpoint(599).port);
}

// ---------------------------------------------------------------------------------------------
// The serial link

class CoreSerial : public ::testing::Test {
  protected:
    void SetUp() override {
        nlisim::Options o;
        o.serial = true;
        o.serialModule = 1;
        sim = std::make_unique<Simulator>(Plant::fromJson(Json::parse(kPlant)), o);
        sim->start();
        ASSERT_FALSE(sim->serialPath().empty());
        port = std::make_unique<Serial>(sim->serialPath());
        ASSERT_TRUE(port->ok());
    }
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<Serial> port;
};

TEST_F(CoreSerial, RequestAndAnswer) {
    port->write(build(0x0102, {kTestFunction, 1, 9}));
    auto a = port->readPacket();
    ASSERT_TRUE(a);
    Answer ans{*a, 0, ""};
    EXPECT_EQ(ans.sequence(), 0x0102);
    EXPECT_TRUE(ans.crcMatches());
    EXPECT_EQ(ans.payload(), (Bytes{kTestFunction, 1, 9, 0, 0, 1, 0, 1})); // serial flag
    EXPECT_EQ(sim->withModule(1, [](nlisim::Module& m) { return m.requestsReceived; }), 1u);
}

TEST_F(CoreSerial, DiscoveryOnTheSerialLinkAnswersForTheSerialModule) {
    port->write(build(5, {0x05}));
    auto a = port->readPacket();
    ASSERT_TRUE(a);
    ASSERT_GE(a->size(), 17u);
    EXPECT_EQ((*a)[2], 0x41);
    EXPECT_EQ(Bytes(a->begin() + 11, a->begin() + 17), bytesOf(mac(2)));
}

TEST_F(CoreSerial, PacketsSplitAcrossWritesAndBackToBack) {
    Bytes one = build(1, {0x00});
    Bytes two = build(2, {kTestFunction, 1});
    Bytes both = one;
    both.insert(both.end(), two.begin(), two.end());
    port->write(Bytes(both.begin(), both.begin() + 4));
    port->write(Bytes(both.begin() + 4, both.begin() + 12));
    port->write(Bytes(both.begin() + 12, both.end()));
    auto a = port->readPacket();
    auto b = port->readPacket();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(getU16(&(*a)[3]), 1);
    EXPECT_EQ(getU16(&(*b)[3]), 2);
}

TEST_F(CoreSerial, NoiseBeforeAPacketIsSkipped) {
    Bytes noisy{0x00, 0xFF, 'K', 'V', 0x13};
    Bytes req = build(3, {0x00});
    noisy.insert(noisy.end(), req.begin(), req.end());
    port->write(noisy);
    auto a = port->readPacket();
    ASSERT_TRUE(a);
    EXPECT_EQ(getU16(&(*a)[3]), 3);
    EXPECT_GT(sim->counters().malformedIgnored, 0u);
}

TEST_F(CoreSerial, ScrambledRequestOnTheSerialLink) {
    RequestSpec r;
    r.sequence = 8;
    r.payload = {kTestFunction, 1, 0x33};
    r.scramble = true;
    port->write(build(r));
    auto a = port->readPacket();
    ASSERT_TRUE(a);
    Answer ans{*a, 0, ""};
    EXPECT_EQ(ans.sequence(), 8);
    EXPECT_EQ(ans.payload(), (Bytes{kTestFunction, 1, 0x33, 0, 0, 1, 1, 1}));
}

TEST_F(CoreSerial, AddressedRequestForAnotherModuleIsIgnored) {
    port->write(build(1, {0x00}, mac(1)));
    port->write(build(2, {0x00}, mac(2)));
    auto a = port->readPacket();
    ASSERT_TRUE(a);
    EXPECT_EQ(getU16(&(*a)[3]), 2);
    EXPECT_TRUE(port->idle());
}

TEST_F(CoreSerial, AClientCanReopenThePort) {
    port.reset();
    port = std::make_unique<Serial>(sim->serialPath());
    ASSERT_TRUE(port->ok());
    port->write(build(4, {0x00}));
    auto a = port->readPacket();
    ASSERT_TRUE(a);
    EXPECT_EQ(getU16(&(*a)[3]), 4);
}

} // namespace
