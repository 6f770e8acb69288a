// Remote-master tunnel: a device with tunnel 1 sends its requests through the mailbox of the
// remote master at tunnelBase, tunnelSlot instead of over the link. The master hands the payload
// in area 4 to the module it fronts (command 3) and leaves that module's answer in area 4: a u16
// status, a u16 reply length, then the reply from offset 4.
#include "internal.h"

namespace {

using namespace nli;

constexpr uint8_t kTunnelArea = 4;
constexpr uint16_t kTunnelCommand = 3;
constexpr uint16_t kTunnelFlags = 0x0800;
constexpr uint16_t kReplyAt = 4;
constexpr uint16_t kResponseDataAt = 9;

// The mailbox calls below must travel over the link, so the flag is off while they run and is
// back on however the call ends.
class TunnelOff {
  public:
    explicit TunnelOff(NLIDevice* device) : device_(device), saved_(device->tunnel) {
        device_->tunnel = 0;
    }
    ~TunnelOff() { device_->tunnel = saved_; }
    TunnelOff(const TunnelOff&) = delete;
    TunnelOff& operator=(const TunnelOff&) = delete;

  private:
    NLIDevice* device_;
    uint8_t saved_;
};

int32_t exchange(NLIDevice* device, const uint8_t* payload, uint16_t payloadLength,
                 uint8_t* response, uint16_t* responseLength) {
    const uint16_t base = device->tunnelBase;
    const uint16_t slot = device->tunnelSlot;
    const uint16_t capacity = *responseLength;
    *responseLength = 0; // nothing is delivered unless the whole answer arrives

    int32_t result =
        NLIWriteMTRData(device, base, slot, kTunnelArea, payload, payloadLength, 0);
    if (result != 0) return result;

    uint8_t parameters[10] = {};
    putU16(parameters + 0, device->tunnelParam);
    putU16(parameters + 4, payloadLength);
    putU16(parameters + 8, kTunnelFlags);
    result = NLIDoMTRCommandEx(device, base, slot, kTunnelCommand, parameters, sizeof parameters);
    if (result != 0) return result;

    uint8_t head[4] = {};
    result = NLIReadMTRData(device, base, slot, kTunnelArea, head, sizeof head, 0);
    if (result != 0) return result;
    uint16_t status = getU16(head);
    uint16_t replyLength = getU16(head + 2);
    if (status != 0) return static_cast<int32_t>(static_cast<int16_t>(status));

    // The reply length comes from the module: it must fit the caller's buffer after offset 9.
    if (capacity < kResponseDataAt || replyLength > capacity - kResponseDataAt)
        return NLIE_BUFFER_TOO_SMALL;
    result = NLIReadMTRData(device, base, slot, kTunnelArea, response + kResponseDataAt,
                            replyLength, kReplyAt);
    if (result != 0) return result;
    *responseLength = static_cast<uint16_t>(kResponseDataAt + replyLength);
    return 0;
}

} // namespace

namespace nli {

// wait and reportRetries do not apply: every mailbox step waits, and its result is the answer.
int32_t tunnelSendPacket(NLIDevice* device, uint8_t* request, uint32_t requestLength,
                         uint8_t* response, uint16_t* responseLength, uint32_t, uint32_t) {
    if (device == nullptr) return NLIE_INVALID_DEVICE;
    if (responseLength == nullptr) return NLIE_INVALID_REQUEST;
    if (request == nullptr || response == nullptr || requestLength < device->headerLength) {
        *responseLength = 0;
        return NLIE_INVALID_REQUEST;
    }
    uint32_t payloadLength = requestLength - device->headerLength;
    if (payloadLength > 0xFFFF) {
        *responseLength = 0;
        return NLIE_DATA_TOO_LARGE;
    }
    TunnelOff off(device);
    return exchange(device, request + device->headerLength, static_cast<uint16_t>(payloadLength),
                    response, responseLength);
}

} // namespace nli
