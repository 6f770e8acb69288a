// Plant files as the simulator loads them. Refusals (std::runtime_error, JSON errors) are the
// documented outcome of a bad file; anything else escaping is a finding. A plant that loads
// must save into a document that loads again, and every module's features must load their keys
// from it (they do so when their first request arrives).
#include "nlisim/sim.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace {

class NullReply final : public nlisim::Reply {
  public:
    void send(const nlisim::Bytes&) override {}
    void sendAfter(uint32_t, const nlisim::Bytes&) override {}
};

// Touches every feature of every module (at most a few, so that one input stays fast).
void touchFeatures(nlisim::Plant& plant) {
    size_t count = 0;
    for (nlisim::Module& m : plant.modules) {
        if (++count > 4) break;
        for (unsigned fn = 0; fn < 256; ++fn) {
            const nlisim::Handler* handler = nlisim::findHandler(static_cast<uint8_t>(fn));
            if (!handler) continue;
            nlisim::Request req;
            req.payload = {static_cast<uint8_t>(fn)};
            req.addressed = true;
            req.plant = &plant;
            NullReply reply;
            try {
                (*handler)(m, req, reply);
            } catch (const std::exception&) {
                // The simulator core catches these too: a feature refusing a plant value.
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlisim::Json doc;
    try {
        doc = nlisim::Json::parse(data, data + size);
    } catch (const nlisim::Json::exception&) {
        return 0;
    }
    nlisim::Plant plant;
    try {
        plant = nlisim::Plant::fromJson(doc);
    } catch (const std::runtime_error&) {
        return 0;
    } catch (const nlisim::Json::exception&) {
        return 0;
    }
    touchFeatures(plant);
    nlisim::Json saved = plant.toJson();
    try {
        (void)nlisim::Plant::fromJson(nlisim::Json::parse(saved.dump()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "a loaded plant saved into a document it refuses: %s\n", e.what());
        __builtin_trap();
    }
    return 0;
}
