// The firmware trace: diagnostic lines of the image loader and the flash download, written to
// standard output with printf formatting while the process-wide switch is on (it is off by
// default). Results never depend on it.
#pragma once

namespace firmware {

void SetFirmwareTrace(bool on);
bool FirmwareTraceOn();

// Writes the formatted text to stdout (and flushes it) when the switch is on. The texts carry
// their own line breaks, usually a leading "\n", exactly as they are to appear.
void FirmwareTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace firmware
