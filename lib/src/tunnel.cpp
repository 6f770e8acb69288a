// Remote-master tunnel. Until the mailbox transport is built, a tunnelled device refuses requests.
#include "internal.h"

namespace nli {

int32_t tunnelSendPacket(NLIDevice*, uint8_t*, uint32_t, uint8_t*, uint16_t* responseLength,
                         uint32_t, uint32_t) {
    if (responseLength) *responseLength = 0;
    return NLIE_NOT_IMPLEMENTED;
}

} // namespace nli
