// labels: integration
// Faults injected by the simulator's reply path, each seen on the wire, and the drop pattern
// repeated from the plant seed.
#include "raw_client.h"

#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <set>

using namespace rawclient;
using nlisim::Bytes;
using nlisim::Faults;
using nlisim::Mac;
using nlisim::Plant;
using nlisim::Simulator;

namespace {

// Module 0 carries the fault under test, module 1 is the healthy barrier: requests to both go
// through the one broadcast endpoint, so the barrier's answer comes after everything module 0
// sent at once.
struct Rig {
    explicit Rig(uint64_t seed = 1, const Faults& faults = {}) : sim(Plant::generate(2, seed)) {
        sim.setFaults(0, faults);
        sim.start();
        faulty = sim.withModule(0, [](nlisim::Module& m) { return m.mac; });
        healthy = sim.withModule(1, [](nlisim::Module& m) { return m.mac; });
    }
    std::vector<Answer> ask(uint16_t seq, const Bytes& payload) {
        udp.send(sim.broadcastEndpoint(), build(seq, payload, faulty));
        udp.send(sim.broadcastEndpoint(),
                 build(static_cast<uint16_t>(seq + 1000), {0x00}, healthy));
        auto got = udp.until(static_cast<uint16_t>(seq + 1000));
        if (!got.empty()) got.pop_back();
        return got;
    }
    Simulator sim;
    Udp udp;
    Mac faulty{}, healthy{};
};

Faults with(std::function<void(Faults&)> set) {
    Faults f;
    set(f);
    return f;
}

struct FaultCase {
    const char* name;
    Faults faults;
    Bytes request;
    std::function<void(const std::vector<Answer>&, uint16_t seq)> check;
};

class EachFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EachFault, IsVisibleOnTheWire) {
    const FaultCase& c = GetParam();
    Rig rig(1, c.faults);
    c.check(rig.ask(1, c.request), 1);
    // The fault holds for later requests too.
    c.check(rig.ask(2, c.request), 2);
}

const Bytes kProbe{0x00};
const Bytes kDiscovery{0x05};

INSTANTIATE_TEST_SUITE_P(
    Faults, EachFault,
    ::testing::Values(
        FaultCase{"none",
                  {},
                  kProbe,
                  [](const std::vector<Answer>& got, uint16_t seq) {
                      ASSERT_EQ(got.size(), 1u);
                      EXPECT_EQ(got[0].sequence(), seq);
                      EXPECT_EQ(got[0].bytes[0], 0x4B);
                      EXPECT_TRUE(got[0].crcMatches());
                  }},
        FaultCase{"duplicate", with([](Faults& f) { f.duplicate = true; }), kProbe,
                  [](const std::vector<Answer>& got, uint16_t seq) {
                      ASSERT_EQ(got.size(), 2u);
                      EXPECT_EQ(got[0].bytes, got[1].bytes);
                      EXPECT_EQ(got[0].sequence(), seq);
                  }},
        FaultCase{"bad checksum", with([](Faults& f) { f.badChecksum = true; }), kProbe,
                  [](const std::vector<Answer>& got, uint16_t) {
                      ASSERT_EQ(got.size(), 1u);
                      EXPECT_NE(got[0].crcField(), 0);
                      EXPECT_FALSE(got[0].crcMatches());
                  }},
        FaultCase{"bad magic", with([](Faults& f) { f.badMagic = true; }), kDiscovery,
                  [](const std::vector<Answer>& got, uint16_t seq) {
                      ASSERT_EQ(got.size(), 1u);
                      EXPECT_NE(got[0].bytes[0], 0x4B);
                      EXPECT_EQ(got[0].bytes[1], 0x56);
                      EXPECT_EQ(got[0].sequence(), seq);
                      EXPECT_EQ(got[0].bytes[9], 0x55); // the rest is intact
                  }},
        FaultCase{"no signature", with([](Faults& f) { f.noSignature = true; }), kDiscovery,
                  [](const std::vector<Answer>& got, uint16_t) {
                      ASSERT_EQ(got.size(), 1u);
                      EXPECT_FALSE(got[0].bytes[9] == 0x55 && got[0].bytes[10] == 0xAA);
                      EXPECT_TRUE(got[0].crcMatches());
                  }},
        FaultCase{"no signature leaves other answers alone",
                  with([](Faults& f) { f.noSignature = true; }), kProbe,
                  [](const std::vector<Answer>& got, uint16_t) {
                      ASSERT_EQ(got.size(), 1u);
                      EXPECT_EQ(got[0].payload(), (Bytes{0x00, 0x00}));
                  }},
        FaultCase{"silent", with([](Faults& f) { f.silent = true; }), kProbe,
                  [](const std::vector<Answer>& got, uint16_t) { EXPECT_TRUE(got.empty()); }},
        FaultCase{"drop everything", with([](Faults& f) { f.dropShare = 1.0; }), kDiscovery,
                  [](const std::vector<Answer>& got, uint16_t) { EXPECT_TRUE(got.empty()); }}),
    [](const ::testing::TestParamInfo<FaultCase>& param) {
        std::string n;
        for (const char* p = param.param.name; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
        return n;
    });

TEST(Faults, BadChecksumAlsoOnAModuleWithoutCrc) {
    Simulator sim(Plant::fromJson(nlisim::Json::parse(
        R"({"modules":[{"mac":"00:E0:62:01:02:03","crc":false,"faults":{"badChecksum":true}}]})")));
    sim.start();
    Udp udp;
    udp.send(sim.moduleEndpoint(0), build(1, {0x00}));
    auto a = udp.receive();
    ASSERT_TRUE(a);
    EXPECT_NE(a->crcField(), 0);
    EXPECT_FALSE(a->crcMatches());
}

TEST(Faults, LateAnswerWithTheEarlierSequence) {
    Rig rig(1, with([](Faults& f) { f.lateOldSequence = true; }));
    auto first = rig.ask(10, kProbe);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].sequence(), 10);
    auto second = rig.ask(11, kProbe);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].sequence(), 10); // the previous answer again, before the current one
    EXPECT_EQ(second[0].bytes, first[0].bytes);
    EXPECT_EQ(second[1].sequence(), 11);
}

TEST(Faults, DelayedAnswerComesAfterALaterPromptOne) {
    Rig rig(1, with([](Faults& f) { f.delayMs = 300; }));
    rig.udp.send(rig.sim.broadcastEndpoint(), build(1, kProbe, rig.faulty));
    rig.udp.send(rig.sim.broadcastEndpoint(), build(2, kProbe, rig.healthy));
    auto a = rig.udp.receive();
    auto b = rig.udp.receive();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->sequence(), 2);
    EXPECT_EQ(b->sequence(), 1);
    EXPECT_TRUE(b->crcMatches());
}

TEST(Faults, SilentModuleStillCountsTheRequest) {
    Rig rig(1, with([](Faults& f) { f.silent = true; }));
    EXPECT_TRUE(rig.ask(1, kProbe).empty());
    EXPECT_EQ(rig.sim.withModule(0, [](nlisim::Module& m) { return m.requestsReceived; }), 1u);
    EXPECT_EQ(rig.sim.withModule(0, [](nlisim::Module& m) { return m.answersSent; }), 0u);
}

TEST(Faults, SetAtRunTimeAndCleared) {
    Rig rig;
    EXPECT_EQ(rig.ask(1, kProbe).size(), 1u);
    rig.sim.setFaults(0, with([](Faults& f) { f.duplicate = true; }));
    EXPECT_EQ(rig.ask(2, kProbe).size(), 2u);
    rig.sim.setFaults(0, Faults{});
    EXPECT_EQ(rig.ask(3, kProbe).size(), 1u);
}

// Which of 200 requests a module with dropShare 0.5 answers.
std::set<uint16_t> answeredOutOf200(uint64_t seed, uint64_t* dropped) {
    Rig rig(seed, with([](Faults& f) { f.dropShare = 0.5; }));
    for (uint16_t s = 1; s <= 200; ++s)
        rig.udp.send(rig.sim.broadcastEndpoint(), build(s, kProbe, rig.faulty));
    rig.udp.send(rig.sim.broadcastEndpoint(), build(5000, kProbe, rig.healthy));
    std::set<uint16_t> answered;
    for (auto& a : rig.udp.until(5000))
        if (a.sequence() != 5000) answered.insert(a.sequence());
    *dropped = rig.sim.counters().requestsDropped;
    EXPECT_EQ(rig.sim.withModule(0, [](nlisim::Module& m) { return m.requestsDropped; }), *dropped);
    return answered;
}

TEST(Faults, DropsAShareReproduciblyFromTheSeed) {
    uint64_t dropped = 0;
    auto a = answeredOutOf200(7, &dropped);
    EXPECT_EQ(a.size() + dropped, 200u);
    // Half, give or take: far outside these bounds the share is not applied.
    EXPECT_GT(a.size(), 60u);
    EXPECT_LT(a.size(), 140u);

    uint64_t droppedAgain = 0;
    EXPECT_EQ(answeredOutOf200(7, &droppedAgain), a);
    EXPECT_EQ(droppedAgain, dropped);

    uint64_t droppedOther = 0;
    EXPECT_NE(answeredOutOf200(8, &droppedOther), a);
}

TEST(Faults, DelayAndDuplicateTogether) {
    Rig rig(1, with([](Faults& f) {
                f.delayMs = 200;
                f.duplicate = true;
            }));
    rig.udp.send(rig.sim.broadcastEndpoint(), build(1, kDiscovery, rig.faulty));
    rig.udp.send(rig.sim.broadcastEndpoint(), build(2, kProbe, rig.healthy));
    auto a = rig.udp.receive();
    auto b = rig.udp.receive();
    auto c = rig.udp.receive();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->sequence(), 2);
    EXPECT_EQ(b->sequence(), 1);
    EXPECT_EQ(c->bytes, b->bytes);
}

} // namespace
