// labels: unit
// Result texts: every listed code reads its fixed text (spelling included), and every other
// value reads "???".
#include "nli.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

struct Text {
    int32_t code;
    const char* text;
};

// The fixed texts: library errors, success and warning, firmware download results and the
// socket-layer errors.
const Text kTexts[] = {
    {0, "No Error in lower 12 bits"},
    {0x2000, "One or more retrys occurred"},
    {0x8000, "function not implemented"},
    {0x8001, "version not correct"},
    {0x8002, "unsuppored transport"},
    {0x8003, "invalid device"},
    {0x8004, "buffer too small"},
    {0x8005, "zero bytes received"},
    {0x8006, "timeout"},
    {0x8007, "unsupported protocol"},
    {0x8008, "IP address not initialized"},
    {0x8009, "NULL transport"},
    {0x800A, "IPX not installed"},
    {0x800B, "IPX open socket failed"},
    {0x800C, "no packet drive found"},
    {0x800D, "CRC mismatch"},
    {0x800E, "allocation error"},
    {0x800F, "no ipx cache"},
    {0x8010, "invalid request"},
    {0x8011, "no response"},
    {0x8012, "invalid response"},
    {0x8013, "data too large"},
    {0x8014, "load proc error"},
    {0x8015, "not loaded"},
    {0x8016, "alignment error"},
    {0x8017, "file not open"},
    {200, "Address out of range"},
    {201, "Unknown sector type"},
    {202, "RAM Allocate Error"},
    {203, "Unknown Record Type"},
    {206, "Open File Error"},
    {207, "Device not responding"},
    {209, "OS not running"},
    {210, "OS did not boot"},
    {211, "firmware tool out-of-date"},
    {212, "invalid booter version"},
    {213, "booter did not boot"},
    {214, "invalid file format"},
    {10004, "WinSOCK - Interrupted function call."},
    {10013, "WinSOCK - Permission denied"},
    {10014, "WinSOCK - Bad Address"},
    {10022, "WinSOCK - Invalid argument."},
    {10024, "WinSOCK - Too many open files"},
    {10035, "WinSOCK - Resource temporarily unavailable."},
    {10036, "WinSOCK - Operation now in progress"},
    {10037, "WinSOCK - Operation already in progress"},
    {10038, "WinSOCK - Socket operation on non-socket."},
    {10039, "WinSOCK - Destination address required."},
    {10040, "WinSOCK - Message too long"},
    {10041, "WinSOCK - Protocol wrong type for socket."},
    {10042, "WinSOCK - Bad protocol option."},
    {10043, "WinSOCK - Protocol not supported"},
    {10044, "WinSOCK - Socket type not supported."},
    {10045, "WinSOCK - Operation not supported."},
    {10046, "WinSOCK - Protocol family not supported"},
    {10047, "WinSOCK - Address family not supported by protocol family"},
    {10048, "WinSOCK - Address already in use"},
    {10049, "WinSOCK - Cannot assign requested address."},
    {10050, "WinSOCK - Network is down."},
    {10051, "WinSOCK - Network is unreachable."},
    {10052, "WinSOCK - Network dropped connection on reset."},
    {10053, "WinSOCK - Software caused connection abort"},
    {10054, "WinSOCK - Connection reset by peer"},
    {10055, "WinSOCK - No buffer space available."},
    {10056, "WinSOCK - Socket is already connected"},
    {10057, "WinSOCK - Socket is not connected."},
    {10058, "WinSOCK - Cannot send after socket shutdown."},
    {10060, "WinSOCK - Connection timed out."},
    {10061, "WinSOCK - Connection refused"},
    {10064, "WinSOCK - Host is down"},
    {10065, "WinSOCK - No route to host."},
    {10067, "WinSOCK - Too many processes"},
    {10091, "WinSOCK - Network subsystem is unavailable."},
    {10092, "WinSOCK - WINSOCK.DLL version out of range."},
    {10093, "WinSOCK - Successful WSAStartup not yet performed."},
    {10101, "WinSOCK - Graceful shutdown in progress."},
    {11001, "WinSOCK - Host not found."},
    {11002, "WinSOCK - Not-authoritative host not found."},
    {11003, "WinSOCK - This is a not-recoverable error."},
    {11004, "WinSOCK - Valid name, no data record of requested type."},
};

// Module status codes read their own name.
const Text kStatusNames[] = {
    {65, "NLIE_ICMP_PKT_FOUND"},
    {66, "NLIE_ARP_PKT_FOUND"},
    {67, "NLIE_TYPE_NOT_HANDLED"},
    {68, "NLIE_LINK_SENSE_TRIGGERED"},
    {100, "NLIE_UNK_IP_PACKET"},
    {101, "NLIE_UNK_ETHERTYPE"},
    {102, "NLIE_UNK_PACKET_TYPE"},
    {103, "NLIE_UNK_802X_PACKET_TYPE"},
    {104, "NLIE_UNK_LLC_TYPE"},
    {105, "NLIE_CRC_DOES_NOT_MATCH"},
    {106, "NLIE_CRC_NO_DATA"},
    {107, "NLIE_ENET_ADDR_REPROGRAMMED"},
    {108, "NLIE_NULL_DATA_POINTER"},
    {109, "NLIE_SIZE_ERROR"},
    {110, "NLIE_NOT_FOUND"},
    {111, "NLIE_INVALID_TYPE"},
    {112, "NLIE_RAM_ALREADY_LOCKED"},
    {113, "NLIE_INVALID_REQUEST_INT"},
    {114, "NLIE_TIMEOUT_ERROR"},
    {115, "NLIE_FLASH_PROGRAM_ERROR"},
    {116, "NLIE_INVALID_OS"},
    {117, "NLIE_INVALID_LOCATION"},
    {118, "NLIE_INVALID_SLOT_NUMBER"},
    {119, "NLIE_INVALID_DATA"},
    {120, "NLIE_MODULE_BUSY"},
    {121, "NLIE_CHANNEL_FAILURE"},
    {122, "NLIE_UNUSED_CHANNELS_EXIST"},
    {123, "NLIE_INVALID_UDP_PORT"},
    {124, "NLIE_SHUTDOWN_OS"},
    {125, "NLIE_NOT_MY_IP_ADDRESS"},
    {126, "NLIE_PROTECTION_ERROR"},
    {127, "NLIE_UNK_TYPE_ERROR"},
    {128, "NLIE_BACKPLANE_INIT_ERROR"},
    {129, "NLIE_UNK_RESPONSE"},
    {130, "NLIE_UNK_RXWX_FORMAT"},
    {131, "NLIE_UNK_ACK"},
    {132, "NLIE_UNK_NAK"},
    {133, "NLIE_RANGE_ERROR"},
    {134, "NLIE_LENGTH_WARNING"},
    {135, "NLIE_INVALID_BASE_NUMBER"},
    {136, "NLIE_INVALID_MODULE_TYPE"},
    {137, "NLIE_INVALID_OFFSET"},
    {138, "NLIE_INVALID_BOOT_VER_FOR_OS"},
    {139, "NLIE_BROKEN_TRANSMITTER"},
    {140, "NLIE_INVALID_ADDRESS"},
    {141, "NLIE_TIMING"},
    {142, "NLIE_CHANNEL_FAILURE_MULTI"},
    {143, "NLIE_SERIAL_SETUP_ERROR"},
    {144, "NLIE_NOT_INITIALIZED"},
    {145, "NLIE_INVALID_MODE"},
    {146, "NLIE_COMM_FAILURE"},
    {147, "NLIE_OPERATION_ABORTED"},
    {148, "NLIE_INVALID_RX_CHAR"},
    {149, "NLIE_REQUEST_NAKED"},
    {150, "NLIE_INVALID_OPERATION"},
    {151, "NLIE_VAL_ALREADY_USED"},
    {153, "NLIE_MODULE_NOT_RESPONDING"},
    {154, "NLIE_BASE_CHANGED"},
};

TEST(ResultCodeName, EveryListedCodeReadsItsText) {
    for (const Text& t : kTexts) {
        SCOPED_TRACE(t.code);
        EXPECT_STREQ(ResultCodeName(t.code), t.text);
    }
    EXPECT_EQ(std::size(kTexts), 80u);
}

TEST(ResultCodeName, ModuleStatusCodesReadTheirNames) {
    for (const Text& t : kStatusNames) {
        SCOPED_TRACE(t.code);
        EXPECT_STREQ(ResultCodeName(t.code), t.text);
    }
    EXPECT_EQ(std::size(kStatusNames), 58u);
}

// The header's constants carry the numbers their names read as.
TEST(ResultCodeName, HeaderConstantsAgreeWithTheirTexts) {
#define NAMED(name)                                                                                \
    { name, #name }
    const Text header[] = {
        NAMED(NLIE_ICMP_PKT_FOUND),
        NAMED(NLIE_LINK_SENSE_TRIGGERED),
        NAMED(NLIE_UNK_IP_PACKET),
        NAMED(NLIE_CRC_DOES_NOT_MATCH),
        NAMED(NLIE_SIZE_ERROR),
        NAMED(NLIE_NOT_FOUND),
        NAMED(NLIE_TIMEOUT_ERROR),
        NAMED(NLIE_LENGTH_WARNING),
        NAMED(NLIE_BROKEN_TRANSMITTER),
        NAMED(NLIE_VAL_ALREADY_USED),
        NAMED(NLIE_MODULE_NOT_RESPONDING),
        NAMED(NLIE_BASE_CHANGED),
    };
#undef NAMED
    for (const Text& t : header)
        EXPECT_STREQ(ResultCodeName(t.code), t.text) << t.code;
    EXPECT_STREQ(ResultCodeName(NLIE_UNSUPPORTED_TRANSPORT), "unsuppored transport");
    EXPECT_STREQ(ResultCodeName(NLIE_NO_PACKET_DRIVER), "no packet drive found");
    EXPECT_STREQ(ResultCodeName(NLIE_FILE_NOT_OPEN), "file not open");
}

TEST(ResultCodeName, EverythingElseReadsQuestionMarks) {
    std::set<int32_t> listed;
    for (const Text& t : kTexts)
        listed.insert(t.code);
    for (const Text& t : kStatusNames)
        listed.insert(t.code);
    // Every value of the ranges the codes live in, plus their neighbours.
    for (int32_t code = -5; code <= 300; ++code) {
        if (!listed.count(code)) {
            EXPECT_STREQ(ResultCodeName(code), "???") << code;
        }
    }
    for (int32_t code = 0x1FF0; code <= 0x2010; ++code) {
        if (!listed.count(code)) {
            EXPECT_STREQ(ResultCodeName(code), "???") << code;
        }
    }
    for (int32_t code = 0x7FF0; code <= 0x8100; ++code) {
        if (!listed.count(code)) {
            EXPECT_STREQ(ResultCodeName(code), "???") << code;
        }
    }
    for (int32_t code = 10000; code <= 11010; ++code) {
        if (!listed.count(code)) {
            EXPECT_STREQ(ResultCodeName(code), "???") << code;
        }
    }
    // A status with flag bits is not reduced to its low 12 bits.
    const int32_t flagged[] = {0x8000 + 110, 0x2000 + 110, 0x1000 + 114, -0x8000 + 110,
                               INT32_MIN,    INT32_MAX,    0x10000,      0x18000};
    for (int32_t code : flagged)
        EXPECT_STREQ(ResultCodeName(code), "???") << code;
    for (int32_t code : {152, 204, 205, 208, 215, 216, 10059, 10062, 10066})
        EXPECT_STREQ(ResultCodeName(code), "???") << code;
}

TEST(ResultCodeName, NeverNullAndStable) {
    for (int32_t code = -70000; code <= 70000; code += 7) {
        const char* t = ResultCodeName(code);
        ASSERT_NE(t, nullptr) << code;
        ASSERT_GT(std::strlen(t), 0u) << code;
    }
    EXPECT_EQ(ResultCodeName(10035), ResultCodeName(10035));
    EXPECT_STREQ(ResultCodeName(10035), "WinSOCK - Resource temporarily unavailable.");
}

// Warnings (bit 0x2000) count as success, except the socket errors, whose WinSock numbers all
// happen to carry that bit.
TEST(ResultClassification, WarningsSucceedSocketErrorsFail) {
    struct Case {
        int32_t code;
        bool failure;
    } cases[] = {
        {0, false},       {0x2000, false},  {0x2000 + 110, false}, {0x3000, false},
        {110, true},      {134, true},      {209, true},           {0x8006, true},
        {-0x7FFA, true},  {10004, true},    {10035, true},         {10061, true},
        {11004, true},    {10003, false},   {11005, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NLI_FAILED(c.code), c.failure) << c.code;
}

} // namespace
