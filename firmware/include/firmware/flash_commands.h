// The flash command set of a module's boot loader: erase, write flash, write RAM, read memory,
// copy RAM to flash, RAM locking and the two information requests, each in its segment:offset
// form (names ending in Seg) and its 32-bit form (Lin); and the small operations built on them:
// the availability probe with its scrambling fallback, the addressing-mode query, range erase
// and module restart.
//
// Segmented addresses are packed segment:offset values, segment * 65536 + offset (F000:8000 is
// 0xF0008000). Every call returns a library result (see nli.h): 0 success, bit 0x2000 success
// after re-sends, a module status code, or an engine failure.
#pragma once

#include "nli.h"

#include <cstddef>
#include <cstdint>

namespace firmware {

// Write chunk sizes of the two addressing modes.
inline constexpr uint16_t kChunkLinear = 512;
inline constexpr uint16_t kChunkSegmented = 128;

// Largest data one write request carries (the request buffer holds the addressed header, the
// command's fields and this much data).
inline constexpr uint16_t kMaxWriteData = 512;
// Largest data one read-memory answer can carry: 1600 bytes of answer room less the header.
inline constexpr uint16_t kMaxReadData = 1600 - NLI_HEADER_LENGTH;

// A completion answer follows its acknowledgement within the device time-out plus this.
inline constexpr uint16_t kCompletionExtraMs = 30000;

// Payload lengths the information requests must at least deliver.
inline constexpr uint16_t kLoaderInfoSize = 18;
inline constexpr uint16_t kFlashLayoutSize = 512;

// The packet-scrambling key record the flash commands switch on while probing a module:
// mode 1, the key text, a terminating zero.
const NLIKeyRecord& ScrambleKeyRecord();

// Packs a plain sum of a segmented address and a byte count back into segment:offset form:
// every 64 KiB carried out of the offset (bits 16 to 19) advances the segment by 0x1000
// (0x8002FFFF becomes 0xA000FFFF).
uint32_t NormalizeSegAddress(uint32_t address);

// The sector table of segmented modules; entries are searched in this order.
struct FlashSector {
    uint32_t number;
    uint32_t first; // packed segment:offset
    uint32_t last;
    uint32_t zero;
};
inline constexpr size_t kSectorCount = 19;
extern const FlashSector kSectorTable[kSectorCount];

// The sectors a segmented erase of [first, first + size - 1] (last address normalised) touches,
// in table order; returns how many were written to sectors. size 0 touches none.
size_t SectorsForRange(uint32_t first, uint32_t size, uint8_t sectors[kSectorCount]);

// ---------------------------------------------------------------------------------------------
// The requests

// ReadLoaderInfo (0xAA 0x55): at least kLoaderInfoSize payload bytes, else 109. info receives
// up to capacity payload bytes; *received the number of payload bytes the module sent.
int32_t ReadLoaderInfo(NLIDevice* device, uint8_t* info, uint16_t capacity, uint16_t* received);
// ReadFlashLayout (0xFB 0x04): the 512-byte layout record, else 109.
int32_t ReadFlashLayout(NLIDevice* device, uint8_t record[kFlashLayoutSize]);

int32_t EraseSector(NLIDevice* device, uint8_t sector);
int32_t EraseRange(NLIDevice* device, uint32_t first, uint32_t last);

// Flash writes complete with a status word. The segmented form counts 16-bit words, so its
// byte count must be even (0x8010 otherwise); both take at most kMaxWriteData bytes (0x8013).
int32_t WriteFlashSeg(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count);
int32_t WriteFlashLin(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count);
int32_t WriteRamSeg(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count);
// Waits for the answer only while device->noWaitIO is 0 (0x8011 otherwise).
int32_t WriteRamLin(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count);

// Reads count bytes into buffer. An answer carrying fewer than count bytes is 109 and leaves
// buffer untouched; count above kMaxReadData is 0x8013 and nothing is sent.
int32_t ReadMemSeg(NLIDevice* device, uint32_t address, uint8_t* buffer, uint16_t count);
int32_t ReadMemLin(NLIDevice* device, uint32_t address, uint8_t* buffer, uint16_t count);

// Result: the status word of the acknowledgement, or of the completion when withCompletion.
int32_t CopyRamToFlashSeg(NLIDevice* device, uint32_t source, uint32_t destination, uint16_t length,
                          uint16_t mode, uint32_t jump, bool withCompletion);
int32_t CopyRamToFlashLin(NLIDevice* device, uint32_t source, uint32_t destination, uint16_t length,
                          uint16_t mode, uint32_t jump, bool withCompletion);

// Locks size bytes of module RAM; the RAM address, or 0 when refused or not answered.
uint32_t LockRam(NLIDevice* device, uint16_t size);
int32_t UnlockRam(NLIDevice* device, uint32_t address);
// The answer is not examined.
int32_t RamLockStatus(NLIDevice* device);

// The form chosen by the addressing mode.
int32_t ReadMemory(NLIDevice* device, bool linear, uint32_t address, uint8_t* buffer,
                   uint16_t count);
int32_t WriteFlash(NLIDevice* device, bool linear, uint32_t address, const uint8_t* data,
                   uint16_t count);
int32_t WriteRam(NLIDevice* device, bool linear, uint32_t address, const uint8_t* data,
                 uint16_t count);
int32_t CopyRamToFlash(NLIDevice* device, bool linear, uint32_t source, uint32_t destination,
                       uint16_t length, uint16_t mode, uint32_t jump, bool withCompletion);

// ---------------------------------------------------------------------------------------------
// Operations

// The engine's probe (payload 0x00): 0, 0x2000 or the engine's failure.
int32_t Probe(NLIDevice* device);

// True when a probe is answered. With tryScrambled on a network link the first probe is sent
// scrambled (the transport's key record is set to ScrambleKeyRecord()), then, unanswered, two
// plain ones; whichever answered stays in force for the requests that follow. On a serial link
// the flag is ignored and one probe is sent as the transport stands.
bool IsDeviceAvailable(NLIDevice* device, bool tryScrambled);

// Asks ReadLoaderInfo; an unanswered request (0x8006) means segmented with result 0.
int32_t IsLinearAddressing(NLIDevice* device, bool* linear);

// Erases [first, first + size - 1]: one EraseRange on linear modules, EraseSector for every
// sector the range touches on segmented ones; stops at the first failure. size 0 erases nothing.
int32_t EraseFlashRange(NLIDevice* device, uint32_t first, uint32_t size);

// Restarts the module: NLIReboot on linear modules, a jump to FFFF:0000 on segmented ones.
void RebootModule(NLIDevice* device, bool linearAddressing);

} // namespace firmware
