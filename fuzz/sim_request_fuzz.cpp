// Requests as the simulated modules' handlers see them (header stripped, unscrambled), without
// sockets: a fresh copy of the demo plant per input, then a sequence of requests, each
//   u8 module (modulo the plant's size), u8 flags (1 addressed, 2 broadcast, 4 serial,
//   8 scrambled), u8 payload length, payload.
// Exceptions deriving from std::exception are caught by the simulator core around every handler,
// so they are not findings here; anything else escaping, a crash or a sanitizer report is.
#include "nlisim/sim.h"

#include <algorithm>
#include <cstdint>
#include <exception>

namespace {

class CountingReply final : public nlisim::Reply {
  public:
    void send(const nlisim::Bytes& payload) override { bytes += payload.size(); }
    void sendAfter(uint32_t, const nlisim::Bytes& payload) override { bytes += payload.size(); }
    size_t bytes = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const nlisim::Plant pristine = nlisim::Plant::demo();
    nlisim::Plant plant = pristine;
    plant.reseed();
    size_t at = 0;
    for (int n = 0; n < 16 && at + 3 <= size; ++n) {
        const size_t index = data[at] % plant.modules.size();
        const uint8_t flags = data[at + 1];
        const size_t length = std::min<size_t>(data[at + 2], size - at - 3);
        at += 3;
        nlisim::Request req;
        req.sequence = static_cast<uint16_t>(n);
        req.payload.assign(data + at, data + at + length);
        at += length;
        if (req.payload.empty()) continue; // the core never delivers an empty payload
        req.addressed = flags & 1;
        req.broadcast = flags & 2;
        req.serial = flags & 4;
        req.scrambled = flags & 8;
        req.plant = &plant;
        const nlisim::Handler* handler = nlisim::findHandler(req.functionCode());
        if (!handler) continue;
        CountingReply reply;
        try {
            (*handler)(plant.modules[index], req, reply);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
