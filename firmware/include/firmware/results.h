// Results of loading and downloading firmware images (library results 200 to 216; their texts
// come from the library's error table).
#pragma once

#include <cstdint>

namespace firmware {

enum : int32_t {
    kAddressOutOfRange = 200,    // "Address out of range"
    kUnknownSectorType = 201,    // "Unknown sector type"
    kRamAllocateError = 202,     // "RAM Allocate Error": image does not fit the image buffer
    kUnknownRecordType = 203,    // "Unknown Record Type"
    kOpenFileError = 206,        // "Open File Error"
    kDeviceNotResponding = 207,  // "Device not responding"
    kOsNotRunning = 209,         // "OS not running"
    kOsDidNotBoot = 210,         // "OS did not boot"
    kToolOutOfDate = 211,        // "firmware tool out-of-date": format version newer than 4.4
    kInvalidBooterVersion = 212, // "invalid booter version"
    kBooterDidNotBoot = 213,     // "booter did not boot"
    kInvalidFileFormat = 214,    // "invalid file format"
    kFamilyTypeMismatch = 215,   // stored Family/Type differ from the image's (no text)
    kVerifyFailed = 216,         // one chunk failed ten times (no text)
};

} // namespace firmware
