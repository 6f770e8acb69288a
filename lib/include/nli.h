/*
 * nli.h - the device protocol library (libnli).
 *
 * Talks to the Ethernet and serial communication modules in PLC bases over UDP/IP, IPX or a
 * serial port. Every call returns a 16-bit result in an int32_t: 0 is success, a result with bit
 * 0x2000 set is a warning (the call did its work), any other non-zero value is a failure; see
 * ResultCodeName(). All records and buffers belong to the caller; the library never allocates,
 * prints or throws. Single-threaded: use the library from one thread at a time.
 *
 * Linux extensions (not part of the original interface):
 *   - NLI_BROADCAST_ADDRESS="a.b.c.d" or "a.b.c.d:port" in the environment, read whenever a
 *     transport is opened, replaces the broadcast destination 255.255.255.255:0x7070 (a directed
 *     broadcast of the plant's subnet, or a simulator on loopback). NLISetBroadcastAddress() does
 *     the same from code and takes precedence over the environment.
 *   - COM ports 1 to 8 open /dev/ttyS0 .. /dev/ttyS7 unless NLI_COM1 .. NLI_COM8 in the
 *     environment or NLISetCommPortPath() map them to another device (a USB adapter, a
 *     pseudo-terminal).
 *   - Socket errors are reported with the WinSock numbers (10035 would block, 10047 address
 *     family not supported, ...), so that results and their texts agree on every platform;
 *     serial port errors pass errno through.
 */
#ifndef NLI_H
#define NLI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(NLI_BUILDING_LIBRARY)
#define NLI_API __attribute__((visibility("default")))
#else
#define NLI_API
#endif

#define NLI_PACKED __attribute__((packed))

/* ---------------------------------------------------------------------------------------------
 * Constants
 * ------------------------------------------------------------------------------------------- */

#define NLI_INTERFACE_VERSION 3

#define TRANSPORT_WINSOCK 4
#define TRANSPORT_SERIAL 0x20

#define PROTOCOL_IPX 2
#define PROTOCOL_UDPIP 3
#define PROTOCOL_SERIAL 4

#define MODULE_PORT 0x7070

#define NLI_HEADER_LENGTH 9
#define NLI_ADDRESSED_HEADER_LENGTH 16

/* ---------------------------------------------------------------------------------------------
 * Result codes
 * ------------------------------------------------------------------------------------------- */

#define NLIE_SUCCESS 0
#define NLIE_RETRIES_OCCURRED 0x2000

/* Errors detected by the library itself. */
#define NLIE_NOT_IMPLEMENTED 0x8000
#define NLIE_VERSION_NOT_CORRECT 0x8001
#define NLIE_UNSUPPORTED_TRANSPORT 0x8002
#define NLIE_INVALID_DEVICE 0x8003
#define NLIE_BUFFER_TOO_SMALL 0x8004
#define NLIE_ZERO_BYTES_RECEIVED 0x8005
#define NLIE_TIMEOUT 0x8006
#define NLIE_UNSUPPORTED_PROTOCOL 0x8007
#define NLIE_IP_ADDR_NOT_INITIALIZED 0x8008
#define NLIE_NULL_TRANSPORT 0x8009
#define NLIE_IPX_NOT_INSTALLED 0x800A
#define NLIE_IPX_OPEN_SOCKET_FAILED 0x800B
#define NLIE_NO_PACKET_DRIVER 0x800C
#define NLIE_CRC_MISMATCH 0x800D
#define NLIE_ALLOCATION_ERROR 0x800E
#define NLIE_NO_IPX_CACHE 0x800F
#define NLIE_INVALID_REQUEST 0x8010
#define NLIE_NO_RESPONSE 0x8011
#define NLIE_INVALID_RESPONSE 0x8012
#define NLIE_DATA_TOO_LARGE 0x8013
#define NLIE_LOAD_PROC_ERROR 0x8014
#define NLIE_NOT_LOADED 0x8015
#define NLIE_ALIGNMENT_ERROR 0x8016
#define NLIE_FILE_NOT_OPEN 0x8017

/* Module status codes (the low 12 bits of a response's status word). */
#define NLIE_ICMP_PKT_FOUND 65
#define NLIE_ARP_PKT_FOUND 66
#define NLIE_TYPE_NOT_HANDLED 67
#define NLIE_LINK_SENSE_TRIGGERED 68
#define NLIE_UNK_IP_PACKET 100
#define NLIE_UNK_ETHERTYPE 101
#define NLIE_UNK_PACKET_TYPE 102
#define NLIE_UNK_802X_PACKET_TYPE 103
#define NLIE_UNK_LLC_TYPE 104
#define NLIE_CRC_DOES_NOT_MATCH 105
#define NLIE_CRC_NO_DATA 106
#define NLIE_ENET_ADDR_REPROGRAMMED 107
#define NLIE_NULL_DATA_POINTER 108
#define NLIE_SIZE_ERROR 109
#define NLIE_NOT_FOUND 110
#define NLIE_INVALID_TYPE 111
#define NLIE_RAM_ALREADY_LOCKED 112
#define NLIE_INVALID_REQUEST_INT 113
#define NLIE_TIMEOUT_ERROR 114
#define NLIE_FLASH_PROGRAM_ERROR 115
#define NLIE_INVALID_OS 116
#define NLIE_INVALID_LOCATION 117
#define NLIE_INVALID_SLOT_NUMBER 118
#define NLIE_INVALID_DATA 119
#define NLIE_MODULE_BUSY 120
#define NLIE_CHANNEL_FAILURE 121
#define NLIE_UNUSED_CHANNELS_EXIST 122
#define NLIE_INVALID_UDP_PORT 123
#define NLIE_SHUTDOWN_OS 124
#define NLIE_NOT_MY_IP_ADDRESS 125
#define NLIE_PROTECTION_ERROR 126
#define NLIE_UNK_TYPE_ERROR 127
#define NLIE_BACKPLANE_INIT_ERROR 128
#define NLIE_UNK_RESPONSE 129
#define NLIE_UNK_RXWX_FORMAT 130
#define NLIE_UNK_ACK 131
#define NLIE_UNK_NAK 132
#define NLIE_RANGE_ERROR 133
#define NLIE_LENGTH_WARNING 134
#define NLIE_INVALID_BASE_NUMBER 135
#define NLIE_INVALID_MODULE_TYPE 136
#define NLIE_INVALID_OFFSET 137
#define NLIE_INVALID_BOOT_VER_FOR_OS 138
#define NLIE_BROKEN_TRANSMITTER 139
#define NLIE_INVALID_ADDRESS 140
#define NLIE_TIMING 141
#define NLIE_CHANNEL_FAILURE_MULTI 142
#define NLIE_SERIAL_SETUP_ERROR 143
#define NLIE_NOT_INITIALIZED 144
#define NLIE_INVALID_MODE 145
#define NLIE_COMM_FAILURE 146
#define NLIE_OPERATION_ABORTED 147
#define NLIE_INVALID_RX_CHAR 148
#define NLIE_REQUEST_NAKED 149
#define NLIE_INVALID_OPERATION 150
#define NLIE_VAL_ALREADY_USED 151
#define NLIE_MODULE_NOT_RESPONDING 153
#define NLIE_BASE_CHANGED 154

/* Socket-layer errors keep the WinSock numbers 10004 to 11004, all of which have bit 0x2000 set;
 * they are failures, not warnings. */
#define NLI_IS_SOCKET_ERROR(result) ((result) >= 10004 && (result) <= 11004)

/* True when a result is a failure: non-zero and not a warning (bit 0x2000), or a socket error. */
#define NLI_FAILED(result)                                                                        \
    ((result) != 0 && (((result) & NLIE_RETRIES_OCCURRED) == 0 || NLI_IS_SOCKET_ERROR(result)))

/* ---------------------------------------------------------------------------------------------
 * Records (packed, caller-owned)
 * ------------------------------------------------------------------------------------------- */

typedef struct NLI_PACKED NLIKeyRecord {
    uint32_t mode;     /* 1 = scramble outgoing packets; the library tests the low byte */
    uint8_t key[60];   /* key bytes, zero-terminated (at most 59) */
} NLIKeyRecord;

typedef struct NLI_PACKED NLITransport {
    uint16_t kind;        /* TRANSPORT_WINSOCK or TRANSPORT_SERIAL */
    uint16_t protocol;    /* PROTOCOL_IPX, PROTOCOL_UDPIP or PROTOCOL_SERIAL */
    NLIKeyRecord scramble;
    void *bindAddress;    /* optional local socket address (sockaddr_in / sockaddr_ipx) */
    uint8_t reserved[48];
} NLITransport;

typedef struct NLI_PACKED NLIDevice {
    uint8_t address[19];  /* link address; with ipNotSet one 20-byte area */
    uint8_t ipNotSet;
    uint16_t reserved0;
    uint8_t reserved1[4];
    uint16_t timeoutMs;
    uint16_t retries;
    uint8_t ethernetAddress[6];
    uint16_t retryCount;
    uint16_t crcErrorCount;
    uint16_t unsolicitedCount;
    uint32_t noWaitIO;
    uint32_t addressedHeader;
    uint32_t broadcast;
    uint32_t socket;
    uint16_t headerLength;
    struct NLITransport *transport;
    uint32_t captureSize;
    void *captureBuffer;
    uint32_t reserved2;
    uint16_t lastSequence;
    uint8_t tunnel;
    uint8_t tunnelBase;
    uint8_t tunnelSlot;
    uint8_t tunnelParam;
    uint8_t reserved3[44];
} NLIDevice;

/* Serial link address, overlaid on NLIDevice.address for TRANSPORT_SERIAL. */
typedef struct NLI_PACKED NLISerialAddress {
    uint8_t port;       /* COM port 1 to 8 */
    uint8_t dataBits;   /* 8 */
    uint8_t parity;     /* 0 = none, 1 = odd, 2 = even */
    uint8_t stopBits;   /* 0 = one, 2 = two */
    uint32_t baudRate;  /* 57600 */
    intptr_t handle;    /* open port, -1 when none */
} NLISerialAddress;

#if defined(__cplusplus)
static_assert(sizeof(NLIKeyRecord) == 64, "NLIKeyRecord is 64 bytes");
static_assert(sizeof(NLITransport) == 116 + sizeof(void *), "NLITransport layout");
static_assert(sizeof(NLIDevice) == 118 + 2 * sizeof(void *), "NLIDevice layout");
static_assert(sizeof(NLISerialAddress) <= 20, "serial address fits the address area");
#else
typedef char nli_check_key_size[(sizeof(NLIKeyRecord) == 64) ? 1 : -1];
typedef char nli_check_transport_size[(sizeof(NLITransport) == 116 + sizeof(void *)) ? 1 : -1];
typedef char nli_check_device_size[(sizeof(NLIDevice) == 118 + 2 * sizeof(void *)) ? 1 : -1];
#endif

typedef int32_t (*NLIAsyncHandler)(NLIDevice *device, const uint8_t *packet, uint32_t length);

/* ---------------------------------------------------------------------------------------------
 * Transports and devices
 * ------------------------------------------------------------------------------------------- */

NLI_API int32_t NLIOpen(uint16_t version);
NLI_API int32_t NLIClose(void);
NLI_API int32_t NLIOpenTransport(NLITransport *transport, uint16_t version, void *bindAddress);
NLI_API int32_t NLICloseTransport(NLITransport *transport);
NLI_API int32_t NLIOpenDevice(NLITransport *transport, NLIDevice *device, uint16_t version,
                              uint16_t timeoutMs, uint16_t retries, uint32_t broadcast);
NLI_API int32_t NLICloseDevice(NLIDevice *device);

/* Linux extensions. address "a.b.c.d" or "a.b.c.d:port"; null or "" restores the environment
 * value or the default. Returns 0, or NLIE_INVALID_REQUEST for text that is not an address. */
NLI_API int32_t NLISetBroadcastAddress(const char *address);
/* Maps COM port 1..8 to a device path; null or "" restores NLI_COMn or /dev/ttyS(n-1). */
NLI_API int32_t NLISetCommPortPath(uint8_t port, const char *path);

/* ---------------------------------------------------------------------------------------------
 * Packet engine
 * ------------------------------------------------------------------------------------------- */

NLI_API int32_t _SendPacket(NLIDevice *device, void *request, uint32_t requestLength,
                            void *response, uint16_t *responseLength, uint32_t wait,
                            uint32_t reportRetries);
NLI_API int32_t GetResponse(NLIDevice *device, void *buffer, uint16_t *length,
                            uint16_t extraTimeoutMs, uint32_t wait, uint32_t match);
NLI_API int32_t NLIGetResponse(NLIDevice *device, void *buffer, uint16_t *length, uint32_t match);
NLI_API int32_t SendPacketTwoResponses(NLIDevice *device, void *request, uint32_t requestLength,
                                       void *response, uint16_t *responseLength, uint32_t wait,
                                       uint32_t reportRetries, uint16_t ackLength,
                                       const void *expectedAck, uint16_t secondExtraTimeoutMs,
                                       uint32_t secondWait, uint32_t secondMatch);
NLI_API uint32_t SetCRCMode(uint32_t mode);
NLI_API int32_t NLISetAsyncHandler(NLIAsyncHandler handler);
NLI_API int32_t NLIGetAsyncHandler(NLIAsyncHandler *handler);

/* ---------------------------------------------------------------------------------------------
 * Discovery
 * ------------------------------------------------------------------------------------------- */

NLI_API int32_t NLIQueryDevices(NLITransport *transport, NLIDevice *devices, uint16_t *count,
                                uint16_t version);
NLI_API int32_t NLIQueryDeviceData(NLITransport *transport, NLIDevice *devices, uint16_t *count,
                                   uint16_t version, uint16_t item, const void *data,
                                   uint16_t length);
NLI_API uint32_t NLISetQueryTimeout(uint32_t timeoutMs);
NLI_API uint32_t NLIGetQueryTimeout(void);

/* ---------------------------------------------------------------------------------------------
 * Result codes
 * ------------------------------------------------------------------------------------------- */

NLI_API const char *ResultCodeName(int32_t code);

/* ---------------------------------------------------------------------------------------------
 * Module information and setup data
 * ------------------------------------------------------------------------------------------- */

/* Setup item codes (u16): the module's stored settings, one item per code. */
#define DT_IP_ADDRESS 16         /* 4 bytes: IPv4 address, first octet first */
#define DT_RXWX_SETTINGS 21      /* 128 bytes: protocol settings */
#define DT_NODE_NAME 22          /* up to 256 bytes: zero-terminated name */
#define DT_NODE_NUMBER 32        /* 4 bytes: node number (module ID), u32 */
#define DT_BOOT_OS 35            /* 32 bytes: operating-system boot selection record */
#define DT_DESCRIPTION 38        /* up to 256 bytes: zero-terminated description */
#define DT_RXWX_NODE_ADDR_1 39   /* 512 bytes: peer node map, first part */
#define DT_SUBNET_MASK 48        /* 4 bytes */
#define DT_MODEL_NAME 51         /* up to 32 bytes: model name text */
#define DT_IP_SETUP 54           /* 256 bytes: IP setup record */
#define DT_RXWX_NODE_ADDR_2 55   /* 512 bytes: peer node map, second part */
#define DT_GATEWAY 64            /* 4 bytes: default gateway */
#define DT_RXWX_NODE_ADDR_3 71   /* 512 bytes: peer node map, third part */
#define DT_EMAIL_CONFIG 183      /* 512 bytes: e-mail configuration */
#define DT_HW_REVISIONS 0x8035   /* 128 bytes: hardware revision record */

/* Largest item data one write carries: 600 - headerLength - 4 (587 with the plain header). */
#define NLI_MAX_SETUP_WRITE(headerLength) (600 - (headerLength) - 4)

/* Copy rule of the calls below: a u16 size holds the buffer's capacity on entry and the bytes
 * copied on return; data longer than the capacity is cut and the result is 0x8004. An empty
 * answer gives 0x8005 (size 0). An answer too short for its own fields gives 0x8012. A non-zero
 * module status word replaces the result (the data after it is still copied). The setup calls
 * lengthen the device time-out by 10 ms for the call; writes and deletes wait up to the
 * time-out + 30000 ms for the module's completion answer. */

/* Data-shape reads: the record from answer offset 9, at most capacity bytes. */
NLI_API int32_t NLIReadVersionInfo(NLIDevice *device, void *buffer, uint16_t capacity);
NLI_API int32_t NLIReadSupportInfo(NLIDevice *device, void *buffer, uint16_t capacity);
NLI_API int32_t NLIReadDeviceDef(NLIDevice *device, void *buffer, uint16_t capacity);
/* Ethernet statistics; clear non-zero makes the module clear its counters. size may point into
 * buffer (the application passes the record's own first word). */
NLI_API int32_t NLIReadEthernetStats(NLIDevice *device, void *buffer, uint16_t *size,
                                     uint32_t clear);

/* Setup data. items: room for *count u16 codes. */
NLI_API int32_t NLIEnumSetupData(NLIDevice *device, uint16_t *items, uint16_t *count);
NLI_API int32_t NLIReadSetupData(NLIDevice *device, uint16_t item, void *buffer,
                                 uint16_t *size);
NLI_API int32_t NLIWriteSetupData(NLIDevice *device, uint16_t item, const void *data,
                                  uint16_t length);
NLI_API int32_t NLIDeleteSetupData(NLIDevice *device, uint16_t item);

/* Module status; a buffer starting with 0xB1 asks for the extended form. */
NLI_API int32_t NLIReadModuleStatus(NLIDevice *device, void *buffer, uint16_t *size,
                                    uint8_t selector);

/* Requests whose answer is not interpreted: the engine's result is returned as it comes. */
NLI_API int32_t NLIPetDevice(NLIDevice *device);
NLI_API int32_t NLISetOSLoad(NLIDevice *device, uint32_t selector);
NLI_API int32_t XPLCSetOSLoad(NLIDevice *device, uint32_t selector);
NLI_API int32_t NLIReboot(NLIDevice *device);
NLI_API int32_t XPLCReboot(NLIDevice *device);

/* Configuration data (the I/O-data rules: waits only while noWaitIO is 0, a module status s is
 * returned as s | 0x8000 sign-extended). A read buffer starting with 0xB1 asks for the extended
 * form; the write copies the module's answer data only when both response and size are given. */
NLI_API int32_t NLIReadConfigData(NLIDevice *device, void *buffer, uint16_t *size);
NLI_API int32_t NLIWriteConfigData(NLIDevice *device, const void *data, uint16_t length,
                                   void *response, uint16_t *size);

/* ---------------------------------------------------------------------------------------------
 * Base definition and I/O
 * ------------------------------------------------------------------------------------------- */

/* A base controller's base definition (its bases, slots and I/O modules as a byte stream) and
 * its I/O data image; the library moves the bytes and does not interpret them. size follows the
 * copy rule above: capacity in, bytes copied out, 0x8004 when the data was cut. The reads refuse
 * a null size, or a null buffer with a non-zero size, with 0x8010. A read buffer (of capacity 1
 * or more) whose first byte is NLI_EXTENDED_FORM on entry asks the module for the extended form
 * (the marker is sent after the function code). */
#define NLI_EXTENDED_FORM 0xB1

/* Largest stream one base definition write carries: 600 - headerLength - 4. */
#define NLI_MAX_BASEDEF_WRITE(headerLength) (600 - (headerLength) - 4)
/* Largest output image one I/O write carries: 1200 - headerLength - 1. */
#define NLI_MAX_IO_WRITE(headerLength) (1200 - (headerLength) - 1)

NLI_API int32_t NLIReadBaseDef(NLIDevice *device, void *buffer, uint16_t *size);
/* The selector's meaning is the module firmware's; the answer is copied like a base definition. */
NLI_API int32_t NLIRescanBase(NLIDevice *device, uint32_t selector, void *buffer,
                              uint16_t *size);
NLI_API int32_t NLIInitBaseDef(NLIDevice *device, void *buffer, uint16_t *size);
/* Two responses: waits up to the device time-out + 30000 ms for the module's completion. A
 * non-zero module status is returned as it is. response/size may be null (nothing copied). */
NLI_API int32_t NLIWriteBaseDef(NLIDevice *device, const void *stream, uint16_t length,
                                void *response, uint16_t *size);

/* I/O data. These wait for the module's answer only while device->noWaitIO is 0; otherwise they
 * return 0x8011 right after sending. A non-zero module status s is returned as s | 0x8000
 * (sign-extended), so status 6 reads 0x8006 like a time-out; the received size tells them apart. */
NLI_API int32_t NLIReadIO(NLIDevice *device, void *buffer, uint16_t *size);
/* Writes the outputs and copies the module's input data when both input and size are given. */
NLI_API int32_t NLIWriteIO(NLIDevice *device, const void *outputs, uint16_t length, void *input,
                           uint16_t *size);
NLI_API int32_t NLIWriteIONoRead(NLIDevice *device, const void *outputs, uint16_t length);

/* ---------------------------------------------------------------------------------------------
 * Memory and shared RAM
 * ------------------------------------------------------------------------------------------- */

/* Typed memory areas of the module (memory type + 32-bit address) and the shared RAM of an
 * intelligent module behind it (base, slot, 16-bit address; bit 15 travels as a flag byte).
 * Reads deliver data when the low 12 bits of the module's status are 0 or the status is 134
 * (NLIE_LENGTH_WARNING); otherwise the caller's buffer is left alone. Only the bytes the module
 * actually sent are copied: a read answered with fewer bytes than asked copies those and, unless
 * the status is 134, returns 0x8012. Results are the module's status word (sign-extended), so a
 * re-send warning is not passed on; 0x8005 for an empty answer, or the engine's failure. */

#define NLI_MEMORY_READ 0
#define NLI_MEMORY_WRITE 1

#define NLI_MAX_MEMORY_READ 589       /* data bytes of one read (600-byte answer) */
#define NLI_MAX_MEMORY_WRITE 512      /* NLIWriteMemory */
#define NLI_MAX_SHARED_RAM_WRITE 256  /* NLIWriteSharedRAM */
#define NLI_MAX_ACCESS_MEMORY 600     /* NLIAccessMemory: request and expected answer */
#define NLI_MEMORY_DESCRIPTOR_SIZE 22 /* one area descriptor of NLIENumMemory */

/* One record of NLIAccessMemory. Its first nine bytes go on the wire as they stand. */
typedef struct NLI_PACKED NLIMemoryAccess {
    uint8_t direction;   /* NLI_MEMORY_READ or NLI_MEMORY_WRITE; anything else gives 0x8010 */
    uint16_t memoryType;
    uint32_t address;
    uint16_t length;     /* bytes to read or write */
    void *data;          /* source of a write, destination of a read (length bytes) */
} NLIMemoryAccess;

#if defined(__cplusplus)
static_assert(sizeof(NLIMemoryAccess) == 9 + sizeof(void *), "NLIMemoryAccess layout");
#else
typedef char nli_check_memory_access_size[(sizeof(NLIMemoryAccess) == 9 + sizeof(void *)) ? 1
                                                                                          : -1];
#endif

/* Reads of more than NLI_MAX_MEMORY_READ bytes, and writes above their limits, give 0x8013
 * without sending; a null buffer with a non-zero length gives 0x8010. */
NLI_API int32_t NLIReadMemory(NLIDevice *device, uint16_t memoryType, uint32_t address,
                              uint16_t length, void *buffer);
NLI_API int32_t NLIWriteMemory(NLIDevice *device, uint16_t memoryType, uint32_t address,
                               uint16_t length, const void *data);
/* Area descriptors, 22 bytes each, passed on as the module sent them. count: in the room of
 * buffer in descriptors, out the descriptors copied; 0x8004 when the module has more, 0x8012
 * when its answer holds fewer than it announces. */
NLI_API int32_t NLIENumMemory(NLIDevice *device, uint16_t *count, void *buffer);
/* Reads and writes several areas in one request. The answer's entries (one per read record, in
 * order) must match their records, else 0x8012; records before the mismatch have their data. */
NLI_API int32_t NLIAccessMemory(NLIDevice *device, NLIMemoryAccess *records, uint16_t count);
NLI_API int32_t NLIReadSharedRAM(NLIDevice *device, uint16_t base, uint16_t slot,
                                 uint16_t address, uint16_t length, void *buffer);
NLI_API int32_t NLIWriteSharedRAM(NLIDevice *device, uint16_t base, uint16_t slot,
                                  uint16_t address, uint16_t length, const void *data);

/* ---------------------------------------------------------------------------------------------
 * Serial pass-through and PLC requests
 * ------------------------------------------------------------------------------------------- */

/* PLC requests, forwarded by a communication module to its PLC CPU. Both acknowledge at once
 * (0x20 + function code) and complete with 0x22 + function code; they wait only while
 * device->noWaitIO is 0. At most 256 bytes per request (0x8010 above that, and for 0 bytes,
 * which the wire cannot tell from 256). A refusal returns the module's status word. */
#define NLI_MAX_PLC_BYTES 256

/* CCM request: write non-zero writes count bytes from buffer; a read fills count bytes. The
 * module's echo of a write is copied back into buffer. A read answered with any other count of
 * data bytes returns 0x8010. */
NLI_API int32_t NLICCMRequest(NLIDevice *device, uint32_t write, uint8_t dataType,
                              uint16_t address, uint16_t count, void *buffer);
/* K-sequence request: length request bytes from buffer; the reply replaces them, *size is the
 * buffer's capacity on entry and the reply length on return (0x8004 when the reply was cut). */
NLI_API int32_t NLIKSEQRequest(NLIDevice *device, uint16_t length, void *buffer, uint16_t *size);

/* Serial pass-through through the module's serial ports. The plain calls use the module's
 * default port; the Ex calls name the port, counted from 1 (port 0 gives 0x8010). Results are
 * the module's status word (sign-extended), 0x8005 for an empty answer, 0x8012 for an answer
 * too short for its fields, or an engine failure. */
#define NLI_SERIAL_SETUP_SIZE 8 /* u32 baud rate, u8 flags, u8 RTS pre, u8 RTS post, u8 unused */
/* Largest data of one write: 196 - headerLength (Ex: 195 - headerLength). */
#define NLI_MAX_COMM_WRITE(headerLength) (196 - (headerLength))
#define NLI_MAX_COMM_WRITE_EX(headerLength) (195 - (headerLength))
/* Largest data of one access (write and wait for the reply): 1496 - headerLength. */
#define NLI_MAX_ACCESS_COMM(headerLength) (1496 - (headerLength))

NLI_API int32_t NLIWriteComm(NLIDevice *device, uint16_t length, const void *data);
/* *size: bytes wanted on entry, bytes received on return (never more than wanted). */
NLI_API int32_t NLIReadComm(NLIDevice *device, uint16_t *size, void *buffer);
NLI_API int32_t NLIGetRXAvailable(NLIDevice *device, uint16_t *available);
NLI_API int32_t NLIFlushRXQueue(NLIDevice *device);
/* store non-zero makes the module keep the setting (two responses, up to the device time-out
 * + 30000 ms); 0 applies it only. setup: NLI_SERIAL_SETUP_SIZE bytes. */
NLI_API int32_t NLISetupSerialPort(NLIDevice *device, const void *setup, uint8_t store);
NLI_API int32_t NLIGetTXLeft(NLIDevice *device, uint16_t *space);
NLI_API int32_t NLIReadSerialPortSetup(NLIDevice *device, void *setup);
/* Writes data out of the default port and returns what came back: *size is the reply buffer's
 * capacity on entry and the reply length on return (0x8004 and size unchanged when the reply is
 * larger). size and reply may be null (nothing copied). */
NLI_API int32_t NLIAccessComm(NLIDevice *device, uint16_t length, const void *data,
                              uint16_t *size, void *reply);

NLI_API int32_t NLIWriteCommEx(NLIDevice *device, uint8_t port, uint16_t length,
                               const void *data);
NLI_API int32_t NLIReadCommEx(NLIDevice *device, uint8_t port, uint16_t *size, void *buffer);
NLI_API int32_t NLIGetRXAvailableEx(NLIDevice *device, uint8_t port, uint16_t *available);
NLI_API int32_t NLIFlushRXQueueEx(NLIDevice *device, uint8_t port);
NLI_API int32_t NLISetupSerialPortEx(NLIDevice *device, uint8_t port, const void *setup,
                                     uint8_t store);
NLI_API int32_t NLIGetTXLeftEx(NLIDevice *device, uint8_t port, uint16_t *space);
NLI_API int32_t NLIReadSerialPortSetupEx(NLIDevice *device, uint8_t port, void *setup);
NLI_API int32_t NLIFlushTXQueueEx(NLIDevice *device, uint8_t port);

/* ---------------------------------------------------------------------------------------------
 * Remote master, controller module and panel adapter
 * ------------------------------------------------------------------------------------------- */

/* Remote master: a mailbox in its shared RAM at base, slot (command block at 0x8030, data window
 * of 256 bytes at 0x803C). Data moves in chunks of at most 256 bytes; each step waits for the
 * mailbox to report done or failed for at most the device's timeoutMs (0x8006). A failed mailbox
 * returns its error code (one byte; two bytes for NLIDoMTRCommandEx), or 0x8012 when it fails
 * without a code. Shared-RAM failures are returned as they come. The XPLC names are the same
 * calls under the PC-based controller's names.
 *
 * Tunnel: a device with tunnel = 1 sends every request (the engine calls included) through the
 * remote master at tunnelBase, tunnelSlot on the same link: the payload goes to area 4, command 3
 * runs with the parameters tunnelParam, 0, payload length, 0, 0x0800, and the module's answer
 * comes back from area 4 to response offset 9 (bytes 0 to 8 are not written). An answer longer
 * than the response buffer gives 0x8004 and delivers nothing. There is no second response. */

#define NLI_MTR_CHUNK 256         /* bytes per mailbox data transfer */
#define NLI_MTR_MAX_PARAMETERS 250 /* NLIDoMTRCommandEx */

NLI_API int32_t NLIWriteMTRData(NLIDevice *device, uint16_t base, uint16_t slot, uint8_t area,
                                const void *data, uint16_t length, uint16_t offset);
NLI_API int32_t NLIReadMTRData(NLIDevice *device, uint16_t base, uint16_t slot, uint8_t area,
                               void *buffer, uint16_t length, uint16_t offset);
NLI_API int32_t NLIDoMTRCommand(NLIDevice *device, uint16_t base, uint16_t slot,
                                uint16_t command);
NLI_API int32_t NLIDoMTRCommandEx(NLIDevice *device, uint16_t base, uint16_t slot,
                                  uint16_t command, const void *parameters,
                                  uint16_t parameterLength);
NLI_API int32_t XPLCWriteMTRData(NLIDevice *device, uint16_t base, uint16_t slot, uint8_t area,
                                 const void *data, uint16_t length, uint16_t offset);
NLI_API int32_t XPLCReadMTRData(NLIDevice *device, uint16_t base, uint16_t slot, uint8_t area,
                                void *buffer, uint16_t length, uint16_t offset);
NLI_API int32_t XPLCDoMTRCommand(NLIDevice *device, uint16_t base, uint16_t slot,
                                 uint16_t command);
NLI_API int32_t XPLCDoMTRCommandEx(NLIDevice *device, uint16_t base, uint16_t slot,
                                   uint16_t command, const void *parameters,
                                   uint16_t parameterLength);

/* Starts a program on a PC-based controller module: "name arguments". Returns the module's
 * status word (sign-extended) or the engine's failure; -1 for a null, empty or blank command
 * line; 0x8013 for a name over 64 characters or arguments that do not fit the request (at most
 * 433 characters). */
#define XPLC_MAX_PROGRAM_NAME 64
#define XPLC_MAX_PROGRAM_ARGUMENTS 433
NLI_API int32_t XPLCRunProgram(NLIDevice *device, const char *commandLine);

/* Panel adapters (family 6). */
typedef struct NLI_PACKED ZTNodeListEntry {
    char name[20];       /* node name as the adapter returned it (not always terminated) */
    uint16_t nodeNumber; /* low 16 bits of the node number */
    NLIDevice *device;   /* the adapter, open in the library's own device array */
} ZTNodeListEntry;

#if defined(__cplusplus)
static_assert(sizeof(ZTNodeListEntry) == 22 + sizeof(void *), "ZTNodeListEntry layout");
#endif

#define ZT_MAX_NODES 200
#define ZT_PACKET_DATA_OFFSET 60  /* ZTSendPacket takes its data from here */
#define ZT_MAX_PGM_SPACE_WRITE 316

/* Finds the panel adapters on an IPX network and returns the library's own static list (valid
 * until the next call, which closes the previous adapters and rebuilds it) with *count entries;
 * null with *count 0 when
 * nothing was found or anything failed, and then nothing stays open. Without IPX in the kernel
 * the list always fails this way. Linux extension: NLI_ZT_PROTOCOL=udp in the environment, read
 * by each call, searches over UDP/IP instead (sent to the broadcast destination like any UDP/IP
 * query); "ipx" or unset keeps IPX. */
NLI_API ZTNodeListEntry *ZTGetNodeList(uint16_t *count);
/* Writes length bytes from packet + 60 as panel program space; 1 on success (*reply = 0), 0 on
 * any other result, warnings included (*reply untouched). */
NLI_API int32_t ZTSendPacket(NLIDevice *device, const void *packet, uint8_t *reply,
                             uint16_t length);
/* Two responses; waits up to timeoutMs + 10 ms for the acknowledgement and 30000 ms more for the
 * completion. 0, 0x2000, the module's status, 0x8005, 0x8013 or the engine's failure. */
NLI_API int32_t NLIWriteZTethernetPgmSpace(NLIDevice *device, const void *data,
                                           uint16_t length);


#ifdef __cplusplus
}
#endif

#endif /* NLI_H */
