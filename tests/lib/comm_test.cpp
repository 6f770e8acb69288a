// labels: integration
// Serial pass-through requests (function 0x23) against the serial ports of simulated modules.
#include "sim_fixture.h"

#include "../../sim/src/comm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Module 0: two ports. Port 1 (the default) has 80 bytes waiting, a 100-byte transmit queue
// that keeps what is written; port 2 has a loopback plug. Module 1: one port, slow to store.
const char* kPlant = R"({ "modules": [
  { "mac": "00:E0:62:50:00:01", "family": 1, "platform": 4,
    "serialPorts": [
      { "setup": { "baud": 19200, "flags": 6, "rtsPreMs": 4, "rtsPostMs": 10 },
        "txCapacity": 100, "txDrain": false },
      { "setup": "80 25 00 00 07 00 00 00", "loopback": true } ] },
  { "mac": "00:E0:62:50:00:02", "family": 1, "platform": 2, "serialStoreDelayMs": 300 }
] })";

const uint8_t kSetup9600[8] = {0x80, 0x25, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00};

class CommTest : public testsupport::SimFixture {
  protected:
    void SetUp() override {
        startJson(kPlant);
        Bytes waiting(80);
        std::iota(waiting.begin(), waiting.end(), uint8_t{0});
        change(0, [&](nlisim::CommState& s) { s.ports[0].rx = waiting; });
    }

    nlisim::CommState state(size_t index = 0) {
        return sim().withModule(index,
                                [](nlisim::Module& m) { return m.feature<nlisim::CommState>(); });
    }
    template <class F> void change(size_t index, F fn) {
        sim().withModule(index, [&](nlisim::Module& m) { fn(m.feature<nlisim::CommState>()); });
    }
};

// Every call's request as it reaches the module: the plain sub-functions, and the Ex forms with
// the port counted from 1 sent as port - 1.
TEST_F(CommTest, RequestsCarryTheirSubFunctionAndPort) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    const uint8_t one = 0x41;
    uint8_t buffer[16];
    uint16_t word = 0;
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        Bytes request;
    };
    Bytes setupPlain{0x23, 0x05, 0x00, 0x00};
    setupPlain.insert(setupPlain.end(), kSetup9600, kSetup9600 + 8);
    Bytes setupEx{0x23, 0x85, 0x01, 0x00, 0x00};
    setupEx.insert(setupEx.end(), kSetup9600, kSetup9600 + 8);
    uint16_t size = 4;
    const Case cases[] = {
        {"WriteComm", [&] { return NLIWriteComm(dev, 1, &one); }, {0x23, 0x01, 0x01, 0x00, 0x41}},
        {"ReadComm",
         [&] {
             size = 4;
             return NLIReadComm(dev, &size, buffer);
         },
         {0x23, 0x02, 0x04, 0x00}},
        {"GetRXAvailable", [&] { return NLIGetRXAvailable(dev, &word); }, {0x23, 0x03}},
        {"FlushRXQueue", [&] { return NLIFlushRXQueue(dev); }, {0x23, 0x04}},
        {"SetupSerialPort", [&] { return NLISetupSerialPort(dev, kSetup9600, 0); }, setupPlain},
        {"GetTXLeft", [&] { return NLIGetTXLeft(dev, &word); }, {0x23, 0x06}},
        {"ReadSerialPortSetup",
         [&] { return NLIReadSerialPortSetup(dev, buffer); },
         {0x23, 0x07, 0x00, 0x00}},
        {"AccessComm",
         [&] { return NLIAccessComm(dev, 1, &one, nullptr, nullptr); },
         {0x23, 0x08, 0x01, 0x00, 0x41}},
        {"WriteCommEx",
         [&] { return NLIWriteCommEx(dev, 2, 1, &one); },
         {0x23, 0x81, 0x01, 0x01, 0x00, 0x41}},
        {"ReadCommEx",
         [&] {
             size = 4;
             return NLIReadCommEx(dev, 2, &size, buffer);
         },
         {0x23, 0x82, 0x01, 0x04, 0x00}},
        {"GetRXAvailableEx",
         [&] { return NLIGetRXAvailableEx(dev, 2, &word); },
         {0x23, 0x83, 0x01}},
        {"FlushRXQueueEx", [&] { return NLIFlushRXQueueEx(dev, 2); }, {0x23, 0x84, 0x01}},
        {"SetupSerialPortEx", [&] { return NLISetupSerialPortEx(dev, 2, kSetup9600, 0); }, setupEx},
        {"GetTXLeftEx", [&] { return NLIGetTXLeftEx(dev, 2, &word); }, {0x23, 0x86, 0x01}},
        {"ReadSerialPortSetupEx",
         [&] { return NLIReadSerialPortSetupEx(dev, 2, buffer); },
         {0x23, 0x87, 0x01, 0x00, 0x00}},
        {"FlushTXQueueEx", [&] { return NLIFlushTXQueueEx(dev, 2); }, {0x23, 0x89, 0x01}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(state().lastRequest, c.request) << c.name;
    }
    // Port 1 of the Ex forms is the first port: byte 0.
    EXPECT_EQ(NLIFlushTXQueueEx(dev, 1), 0);
    EXPECT_EQ(state().lastRequest, (Bytes{0x23, 0x89, 0x00}));
}

TEST_F(CommTest, PortZeroIsRefusedAndAMissingPortIsReported) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t data[1] = {1};
    uint8_t setup[8];
    std::memset(setup, 0xEE, sizeof setup);
    uint16_t size = 4, word = 0;
    EXPECT_EQ(NLIWriteCommEx(dev, 0, 1, data), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadCommEx(dev, 0, &size, setup), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIGetRXAvailableEx(dev, 0, &word), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIFlushRXQueueEx(dev, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLISetupSerialPortEx(dev, 0, kSetup9600, 1), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIGetTXLeftEx(dev, 0, &word), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadSerialPortSetupEx(dev, 0, setup), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIFlushTXQueueEx(dev, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(state().requests, 0u) << "nothing was sent";

    // Port 3 of a two-port module: the module's status, alone.
    EXPECT_EQ(NLIWriteCommEx(dev, 3, 1, data), nlisim::kStatusNoSuchPort);
    size = 4;
    EXPECT_EQ(NLIReadCommEx(dev, 3, &size, setup), nlisim::kStatusNoSuchPort);
    EXPECT_EQ(size, 0);
    word = 0x1234;
    EXPECT_EQ(NLIGetTXLeftEx(dev, 3, &word), nlisim::kStatusNoSuchPort);
    EXPECT_EQ(word, 0x1234) << "no count in the answer, none stored";
    EXPECT_EQ(NLISetupSerialPortEx(dev, 3, kSetup9600, 1), nlisim::kStatusNoSuchPort);
    // The setup read answers no status word; an answer without a whole record is refused.
    EXPECT_EQ(NLIReadSerialPortSetupEx(dev, 3, setup), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(setup[0], 0xEE) << "the caller's record is left as it was";
}

TEST_F(CommTest, WriteSizeLimitsDependOnTheHeader) {
    for (bool addressed : {false, true}) {
        NLIDevice* dev = addressed ? openDevice(1) : openDirect(1);
        ASSERT_NE(dev, nullptr);
        const uint16_t h = dev->headerLength;
        struct Case {
            const char* name;
            uint16_t limit;
            std::function<int32_t(uint16_t, const uint8_t*)> call;
        } cases[] = {
            {"WriteComm", static_cast<uint16_t>(NLI_MAX_COMM_WRITE(h)),
             [&](uint16_t n, const uint8_t* d) { return NLIWriteComm(dev, n, d); }},
            {"WriteCommEx", static_cast<uint16_t>(NLI_MAX_COMM_WRITE_EX(h)),
             [&](uint16_t n, const uint8_t* d) { return NLIWriteCommEx(dev, 1, n, d); }},
            {"AccessComm", static_cast<uint16_t>(NLI_MAX_ACCESS_COMM(h)),
             [&](uint16_t n, const uint8_t* d) {
                 return NLIAccessComm(dev, n, d, nullptr, nullptr);
             }},
        };
        EXPECT_EQ(cases[0].limit, addressed ? 180 : 187);
        EXPECT_EQ(cases[1].limit, addressed ? 179 : 186);
        EXPECT_EQ(cases[2].limit, addressed ? 1480 : 1487);
        for (const Case& c : cases) {
            std::vector<uint8_t> data(c.limit + 1u, 0x33);
            uint32_t before = state(1).requests;
            EXPECT_EQ(c.call(static_cast<uint16_t>(c.limit + 1), data.data()), NLIE_DATA_TOO_LARGE)
                << c.name;
            EXPECT_EQ(state(1).requests, before) << c.name << ": nothing sent";
            EXPECT_EQ(c.call(c.limit, data.data()), 0) << c.name;
            const Bytes seen = state(1).lastRequest;
            ASSERT_GE(seen.size(), c.limit);
            EXPECT_EQ(Bytes(seen.end() - c.limit, seen.end()), Bytes(data.begin(), data.end() - 1))
                << c.name;
            EXPECT_EQ(c.call(1, nullptr), NLIE_INVALID_REQUEST) << c.name;
        }
    }
}

TEST_F(CommTest, ReadTakesNoMoreThanAsked) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[200];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t size = 50;
    ASSERT_EQ(NLIReadComm(dev, &size, buffer), 0);
    ASSERT_EQ(size, 50);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(buffer[i], i);
    EXPECT_EQ(buffer[50], 0xEE);

    uint16_t waiting = 0;
    ASSERT_EQ(NLIGetRXAvailable(dev, &waiting), 0);
    EXPECT_EQ(waiting, 30);
    size = 100;
    ASSERT_EQ(NLIReadComm(dev, &size, buffer), 0);
    ASSERT_EQ(size, 30);
    EXPECT_EQ(buffer[0], 50);
    EXPECT_EQ(buffer[29], 79);
    size = 100;
    ASSERT_EQ(NLIReadComm(dev, &size, buffer), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(NLIReadComm(dev, nullptr, buffer), NLIE_INVALID_REQUEST);
    size = 4;
    EXPECT_EQ(NLIReadComm(dev, &size, nullptr), NLIE_INVALID_REQUEST);
}

// A module that answers more than was asked for, or reports more than it sends: the copy stays
// within the bytes asked for and the bytes that came.
TEST_F(CommTest, ReadIsBoundedByTheRequestAndByTheAnswer) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    change(0, [](nlisim::CommState& s) { s.ports[0].ignoreWanted = true; });
    uint8_t buffer[200];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t size = 50;
    ASSERT_EQ(NLIReadComm(dev, &size, buffer), 0);
    EXPECT_EQ(size, 50) << "the module reported 80";
    EXPECT_EQ(buffer[49], 49);
    EXPECT_EQ(buffer[50], 0xEE);

    change(0, [](nlisim::CommState& s) {
        s.ports[0].ignoreWanted = false;
        s.ports[0].rx = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        s.ports[0].countSkew = 40;
    });
    std::memset(buffer, 0xEE, sizeof buffer);
    size = 100;
    ASSERT_EQ(NLIReadComm(dev, &size, buffer), 0);
    EXPECT_EQ(size, 10) << "the module reported 50 but sent 10";
    EXPECT_EQ(buffer[9], 10);
    EXPECT_EQ(buffer[10], 0xEE);
}

TEST_F(CommTest, TransmitQueueSpaceAndFlushes) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    uint16_t space = 0;
    ASSERT_EQ(NLIGetTXLeft(dev, &space), 0);
    EXPECT_EQ(space, 100);
    std::vector<uint8_t> data(30, 0x55);
    ASSERT_EQ(NLIWriteComm(dev, 30, data.data()), 0);
    ASSERT_EQ(NLIGetTXLeftEx(dev, 1, &space), 0);
    EXPECT_EQ(space, 70);
    data.assign(71, 0x66);
    EXPECT_EQ(NLIWriteComm(dev, 71, data.data()), nlisim::kStatusCommBusy);
    EXPECT_EQ(state().ports[0].tx.size(), 30u);
    ASSERT_EQ(NLIFlushTXQueueEx(dev, 1), 0);
    ASSERT_EQ(NLIGetTXLeft(dev, &space), 0);
    EXPECT_EQ(space, 100);

    uint16_t waiting = 0;
    ASSERT_EQ(NLIFlushRXQueue(dev), 0);
    ASSERT_EQ(NLIGetRXAvailable(dev, &waiting), 0);
    EXPECT_EQ(waiting, 0);
    EXPECT_EQ(NLIGetRXAvailable(dev, nullptr), 0) << "the count may be ignored";
}

TEST_F(CommTest, LoopbackPortGivesBackWhatWasWritten) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    const std::string text = "hello, port 2";
    ASSERT_EQ(NLIWriteCommEx(dev, 2, static_cast<uint16_t>(text.size()), text.data()), 0);
    uint16_t waiting = 0;
    ASSERT_EQ(NLIGetRXAvailableEx(dev, 2, &waiting), 0);
    EXPECT_EQ(waiting, text.size());
    char buffer[64] = {};
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIReadCommEx(dev, 2, &size, buffer), 0);
    EXPECT_EQ(std::string(buffer, size), text);
    EXPECT_EQ(state().ports[1].sent, Bytes(text.begin(), text.end()));
    EXPECT_TRUE(state().ports[0].tx.empty()) << "the default port was not touched";
}

TEST_F(CommTest, AccessCommReturnsTheReplyWithinTheBuffer) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    const uint8_t query[3] = {0x01, 0x03, 0x00};
    uint8_t reply[32];
    std::memset(reply, 0xEE, sizeof reply);
    uint16_t size = sizeof reply;
    ASSERT_EQ(NLIAccessComm(dev, 3, query, &size, reply), 0);
    EXPECT_EQ(Bytes(reply, reply + size), (Bytes{0x01, 0x03, 0x00})) << "echoed";
    EXPECT_EQ(state().ports[0].sent, (Bytes{0x01, 0x03, 0x00}));

    change(0, [](nlisim::CommState& s) {
        s.ports[0].accessReply = Bytes{10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    });
    std::memset(reply, 0xEE, sizeof reply);
    size = 4;
    EXPECT_EQ(NLIAccessComm(dev, 3, query, &size, reply), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4) << "size keeps the capacity";
    EXPECT_EQ(Bytes(reply, reply + 5), (Bytes{10, 11, 12, 13, 0xEE}));

    // Without a size or a buffer nothing is copied.
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(NLIAccessComm(dev, 3, query, nullptr, reply), 0);
    size = 32;
    EXPECT_EQ(NLIAccessComm(dev, 3, query, &size, nullptr), 0);
    EXPECT_EQ(size, 32);
    EXPECT_EQ(reply[0], 0xEE);

    // A reported count larger than the reply that came is cut to what came.
    change(0, [](nlisim::CommState& s) { s.ports[0].countSkew = 100; });
    size = sizeof reply;
    ASSERT_EQ(NLIAccessComm(dev, 3, query, &size, reply), 0);
    EXPECT_EQ(size, 10);
}

TEST_F(CommTest, SetupIsReadAppliedAndStored) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t setup[8] = {};
    ASSERT_EQ(NLIReadSerialPortSetup(dev, setup), 0);
    EXPECT_EQ(Bytes(setup, setup + 8), (Bytes{0x00, 0x4B, 0x00, 0x00, 6, 2, 5, 0}));
    ASSERT_EQ(NLIReadSerialPortSetupEx(dev, 2, setup), 0);
    EXPECT_EQ(Bytes(setup, setup + 8), (Bytes{0x80, 0x25, 0x00, 0x00, 7, 0, 0, 0}));

    // Store flag 0 applies the record; it is not kept.
    const uint8_t s38400[8] = {0x00, 0x96, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00};
    ASSERT_EQ(NLISetupSerialPort(dev, s38400, 0), 0);
    EXPECT_EQ(state().lastRequest[2], 0x00);
    ASSERT_EQ(NLIReadSerialPortSetup(dev, setup), 0);
    EXPECT_EQ(Bytes(setup, setup + 8), Bytes(s38400, s38400 + 8));
    EXPECT_EQ(sim().plantJson()["modules"][0]["serialPorts"][0]["setup"]["baud"], 19200);

    // Store flag 1 keeps it.
    ASSERT_EQ(NLISetupSerialPort(dev, s38400, 1), 0);
    EXPECT_EQ(state().lastRequest[2], 0x01);
    EXPECT_EQ(sim().plantJson()["modules"][0]["serialPorts"][0]["setup"]["baud"], 38400);

    // A baud rate the port cannot run is refused, with either flag, and changes nothing.
    const uint8_t bad[8] = {0x39, 0x30, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00}; // 12345
    EXPECT_EQ(NLISetupSerialPort(dev, bad, 0), nlisim::kStatusSerialSetupError);
    EXPECT_EQ(NLISetupSerialPortEx(dev, 2, bad, 1), nlisim::kStatusSerialSetupError);
    ASSERT_EQ(NLIReadSerialPortSetup(dev, setup), 0);
    EXPECT_EQ(Bytes(setup, setup + 8), Bytes(s38400, s38400 + 8));

    EXPECT_EQ(NLISetupSerialPort(dev, nullptr, 1), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadSerialPortSetup(dev, nullptr), NLIE_INVALID_REQUEST);
}

// Storing waits for a completion that may come long after the device time-out; applying only
// waits the device time-out.
TEST_F(CommTest, StoringWaitsForTheSlowCompletion) {
    NLIDevice* dev = openDevice(1, 100, 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(NLISetupSerialPort(dev, kSetup9600, 1), 0) << "completion 300 ms after the ack";
    EXPECT_EQ(dev->timeoutMs, 100) << "the time-out is put back";
    EXPECT_EQ(NLISetupSerialPort(dev, kSetup9600, 0), 0);

    nlisim::Faults f;
    f.delayMs = 300;
    sim().setFaults(1, f);
    EXPECT_EQ(NLISetupSerialPort(dev, kSetup9600, 0), NLIE_TIMEOUT);
    EXPECT_EQ(dev->timeoutMs, 100);
}

// Every call passes an engine failure through.
TEST_F(CommTest, SilentModuleTimesOutOnEveryCall) {
    NLIDevice* dev = openDirect(0, 20, 0);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults f;
    f.silent = true;
    sim().setFaults(0, f);
    const uint8_t one = 1;
    uint8_t buffer[16];
    uint16_t size = 4, word = 0;
    const std::pair<const char*, std::function<int32_t()>> calls[] = {
        {"WriteComm", [&] { return NLIWriteComm(dev, 1, &one); }},
        {"ReadComm", [&] { return NLIReadComm(dev, &size, buffer); }},
        {"GetRXAvailable", [&] { return NLIGetRXAvailable(dev, &word); }},
        {"FlushRXQueue", [&] { return NLIFlushRXQueue(dev); }},
        {"SetupSerialPort", [&] { return NLISetupSerialPort(dev, kSetup9600, 1); }},
        {"GetTXLeftEx", [&] { return NLIGetTXLeftEx(dev, 1, &word); }},
        {"ReadSerialPortSetup", [&] { return NLIReadSerialPortSetup(dev, buffer); }},
        {"AccessComm", [&] { return NLIAccessComm(dev, 1, &one, &size, buffer); }},
        {"FlushTXQueueEx", [&] { return NLIFlushTXQueueEx(dev, 1); }},
    };
    for (const auto& [name, call] : calls)
        EXPECT_EQ(call(), NLIE_TIMEOUT) << name;
}

TEST(CommPlantFile, PortsSurviveASave) {
    nlisim::Plant plant = nlisim::Plant::fromJson(nlisim::Json::parse(kPlant));
    nlisim::CommState& s = plant.modules[0].feature<nlisim::CommState>();
    ASSERT_EQ(s.ports.size(), 2u);
    s.ports[1].rx = {0xAB};
    nlisim::Plant again = nlisim::Plant::fromJson(plant.toJson());
    nlisim::CommState& t = again.modules[0].feature<nlisim::CommState>();
    ASSERT_EQ(t.ports.size(), 2u);
    EXPECT_EQ(t.ports[0].setup, s.ports[0].setup);
    EXPECT_EQ(t.ports[0].txCapacity, 100u);
    EXPECT_FALSE(t.ports[0].txDrain);
    EXPECT_TRUE(t.ports[1].loopback);
    EXPECT_EQ(t.ports[1].rx, (Bytes{0xAB}));
    EXPECT_EQ(again.modules[1].feature<nlisim::CommState>().ports.size(), 1u)
        << "a module without serialPorts has one default port";
}

} // namespace
