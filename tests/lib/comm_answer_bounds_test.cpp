// labels: integration
// Answers that do not hold what they claim: too short for their own fields, counts larger than
// the bytes that came, refusals without a reason. The far end is a scripted loopback socket
// that answers exactly the bytes each case gives, which no well-behaved module would; every
// case checks the result and that nothing beyond the bytes received, or beyond the caller's
// buffer, was copied.
#include "raw_peer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>
#include <vector>

namespace {

using namespace libtest;

class AnswerBoundsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
        std::memset(&transport_, 0, sizeof transport_);
        transport_.kind = TRANSPORT_WINSOCK;
        transport_.protocol = PROTOCOL_UDPIP;
        ASSERT_EQ(NLIOpenTransport(&transport_, NLI_INTERFACE_VERSION, nullptr), 0);
        std::memset(&device_, 0, sizeof device_);
        sockaddr_in a = module_.address();
        std::memcpy(device_.address, &a, sizeof a);
        ASSERT_EQ(NLIOpenDevice(&transport_, &device_, NLI_INTERFACE_VERSION, 100, 0, 0), 0);
    }
    void TearDown() override {
        SetCRCMode(1);
        NLICloseDevice(&device_);
        NLICloseTransport(&transport_);
        NLIClose();
    }

    // Every request is answered with these payloads, in order.
    void answer(std::vector<Bytes> payloads) {
        module_.script(answerPayloads([payloads](const Bytes&) { return payloads; }));
    }

    ScriptedModule module_;
    NLITransport transport_{};
    NLIDevice device_{};
};

const Bytes kAck19 = {0x20, 0x19};
const Bytes kAck1A = {0x20, 0x1A};
const Bytes kStatusOk = {0x00, 0x00};

TEST_F(AnswerBoundsTest, AnswerShorterThanItsHeaderIsRefused) {
    SetCRCMode(0); // with the check on, the engine itself refuses such a packet
    module_.script([](uint16_t sequence, const Bytes&) {
        return std::vector<Bytes>{{0x4B, 0x56, 0x52, static_cast<uint8_t>(sequence),
                                   static_cast<uint8_t>(sequence >> 8)}};
    });
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t size = sizeof buffer;
    EXPECT_EQ(NLIReadBaseDef(&device_, buffer, &size), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(AnswerBoundsTest, HeaderOnlyStreamIsAnEmptyDefinition) {
    answer({{}});
    uint8_t buffer[16];
    uint16_t size = sizeof buffer;
    EXPECT_EQ(NLIRescanBase(&device_, 1, buffer, &size), 0);
    EXPECT_EQ(size, 0);
}

TEST_F(AnswerBoundsTest, StatusShapeWithoutAWholeStatusWord) {
    answer({{0x00}});
    uint8_t buffer[16];
    uint16_t size = sizeof buffer;
    EXPECT_EQ(NLIReadIO(&device_, buffer, &size), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    size = sizeof buffer;
    const uint8_t out[1] = {1};
    EXPECT_EQ(NLIWriteIO(&device_, out, 1, buffer, &size), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(NLIWriteIONoRead(&device_, out, 1), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIWriteComm(&device_, 1, out), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIFlushRXQueue(&device_), NLIE_INVALID_RESPONSE);

    answer({{0x00, 0x00}, {0x01}}); // acknowledgement, then a completion cut short
    EXPECT_EQ(NLIWriteBaseDef(&device_, "\xFF", 1, buffer, &size), NLIE_INVALID_RESPONSE);
    answer({{0x00, 0x00}, {}});
    EXPECT_EQ(NLISetupSerialPort(&device_, "\x80\x25\0\0\x06\0\0\0", 1), NLIE_INVALID_RESPONSE);
}

TEST_F(AnswerBoundsTest, MissingCountIsNoSuccess) {
    uint16_t word = 0x1234;
    answer({kStatusOk});
    EXPECT_EQ(NLIGetRXAvailable(&device_, &word), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIGetTXLeftEx(&device_, 1, &word), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(word, 0x1234);
    uint8_t buffer[16];
    uint16_t size = 8;
    EXPECT_EQ(NLIReadComm(&device_, &size, buffer), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    size = 8;
    EXPECT_EQ(NLIAccessComm(&device_, 1, "x", &size, buffer), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);

    // An error status without a count is the error.
    answer({{0x2A, 0x00}});
    EXPECT_EQ(NLIGetRXAvailable(&device_, &word), 0x2A);
    EXPECT_EQ(word, 0x1234);
}

TEST_F(AnswerBoundsTest, CountsAreBoundedByTheBytesThatCame) {
    answer({{0x00, 0x00, 50, 0x00, 0xA1, 0xA2, 0xA3}}); // claims 50, carries 3
    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t size = 60;
    EXPECT_EQ(NLIReadComm(&device_, &size, buffer), 0);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0xA1, 0xA2, 0xA3, 0xEE}));

    std::memset(buffer, 0xEE, sizeof buffer);
    size = 60;
    EXPECT_EQ(NLIAccessComm(&device_, 1, "x", &size, buffer), 0);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(buffer[3], 0xEE);
}

TEST_F(AnswerBoundsTest, SetupRecordMustBeWhole) {
    answer({{0x80, 0x25, 0x00, 0x00}});
    uint8_t setup[8];
    std::memset(setup, 0xEE, sizeof setup);
    EXPECT_EQ(NLIReadSerialPortSetup(&device_, setup), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIReadSerialPortSetupEx(&device_, 2, setup), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(setup[0], 0xEE);
    answer({{0x80, 0x25, 0x00, 0x00, 0x06, 0x01, 0x02, 0x00}});
    EXPECT_EQ(NLIReadSerialPortSetup(&device_, setup), 0);
    EXPECT_EQ(Bytes(setup, setup + 8), (Bytes{0x80, 0x25, 0x00, 0x00, 0x06, 0x01, 0x02, 0x00}));
}

TEST_F(AnswerBoundsTest, StatusWordsAreSignExtended) {
    answer({{0x01, 0x80}});
    EXPECT_EQ(NLIWriteComm(&device_, 1, "x"), static_cast<int32_t>(0xFFFF8001u));
    EXPECT_EQ(NLIFlushTXQueueEx(&device_, 1), static_cast<int32_t>(0xFFFF8001u));
    answer({{0x00, 0x00}, {0x01, 0x80}});
    EXPECT_EQ(NLIWriteBaseDef(&device_, "\xFF", 1, nullptr, nullptr),
              static_cast<int32_t>(0xFFFF8001u));
}

// The first answer of a PLC request that is not the acknowledgement is a refusal: its status
// word (offset 11) is the result, but only when there is one and it names an error.
TEST_F(AnswerBoundsTest, PlcRefusalNeedsAReason) {
    struct Case {
        Bytes first;
        int32_t result;
    } cases[] = {
        {{0x21, 0x19, 0x78, 0x00}, NLIE_MODULE_BUSY},
        {{0x21, 0x19, 0x00, 0x80}, static_cast<int32_t>(0xFFFF8000u)},
        {{0x21, 0x19, 0x00, 0x00}, NLIE_INVALID_RESPONSE},
        {{0x21, 0x19}, NLIE_INVALID_RESPONSE},
        {{0x20}, NLIE_INVALID_RESPONSE},
        {{}, NLIE_INVALID_RESPONSE},
    };
    for (const Case& c : cases) {
        answer({c.first});
        uint8_t code = 0xEE;
        EXPECT_EQ(NLICCMRequest(&device_, 0, 54, 15, 1, &code), c.result) << c.first.size();
        EXPECT_EQ(code, 0xEE);
    }
}

TEST_F(AnswerBoundsTest, PlcFinalAnswerMustHoldItsStatus) {
    answer({kAck19, {0x22, 0x19}});
    uint8_t code = 0xEE;
    EXPECT_EQ(NLICCMRequest(&device_, 0, 54, 15, 1, &code), NLIE_INVALID_RESPONSE);
    answer({kAck19, {0x22, 0x19, 0x00}});
    EXPECT_EQ(NLICCMRequest(&device_, 0, 54, 15, 1, &code), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(code, 0xEE);
    answer({kAck19, {0x22, 0x19, 0x00, 0x00, 0x5A}});
    EXPECT_EQ(NLICCMRequest(&device_, 0, 54, 15, 1, &code), 0);
    EXPECT_EQ(code, 0x5A);
    EXPECT_EQ(module_.lastPayload(), (Bytes{0x19, 0x00, 0x01, 0x1E, 0x01, 0x0F, 0x00, 0x36}));
}

// A write's echo is copied back only as far as the module sent it.
TEST_F(AnswerBoundsTest, ShortWriteEchoCopiesWhatCame) {
    answer({kAck19, {0x22, 0x19, 0x00, 0x00, 0xAA, 0xBB}});
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(NLICCMRequest(&device_, 1, 49, 0, 4, data), 0);
    EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xAA, 0xBB, 3, 4}));

    answer({kAck1A, {0x22, 0x1A, 0x00, 0x00}});
    uint8_t ks[4] = {1, 2, 3, 4};
    uint16_t size = sizeof ks;
    EXPECT_EQ(NLIKSEQRequest(&device_, 4, ks, &size), 0);
    EXPECT_EQ(size, 0);
}

// An answer larger than the call's own room never reaches the caller's buffer. The link reports
// it with a socket error number; those carry bit 0x2000 as well (10040 is 0x2738), yet they are
// no warning: the response buffer holds nothing to copy.
TEST_F(AnswerBoundsTest, OversizedAnswerIsTheLinksErrorAndCopiesNothing) {
    answer({Bytes(1500, 0x00)});
    uint8_t buffer[1200];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t size = 100;
    int32_t rc = NLIReadBaseDef(&device_, buffer, &size);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, NLIE_RETRIES_OCCURRED);
    EXPECT_NE(rc, NLIE_BUFFER_TOO_SMALL) << "nothing was copied, so nothing was cut";
    EXPECT_EQ(size, 100) << "size untouched";
    EXPECT_EQ(buffer[0], 0xEE);

    answer({Bytes(1300, 0x00)});
    size = 100;
    rc = NLIReadIO(&device_, buffer, &size);
    EXPECT_TRUE(rc != 0 && rc != NLIE_RETRIES_OCCURRED && rc != NLIE_BUFFER_TOO_SMALL) << rc;
    EXPECT_EQ(size, 100);
    answer({Bytes(300, 0x00)});
    EXPECT_EQ(NLIWriteComm(&device_, 1, "x"), rc) << "the same link error, not a status word";
    uint8_t code = 0xEE;
    answer({Bytes(400, 0x00)});
    rc = NLICCMRequest(&device_, 0, 54, 15, 1, &code);
    EXPECT_TRUE(rc != 0 && rc != NLIE_RETRIES_OCCURRED) << rc;
    EXPECT_EQ(code, 0xEE);
}

} // namespace
