// Discovery and the probe, as every module answers them.
//
// 0x05            plain query: 0x55 0xAA, Ethernet address, the no-IP-address byte, then the
//                 module's family, platform and generation (not read by the library; handy when
//                 looking at a capture).
// 0x09 0x00 ...   query with a data item (item u16, length u16, data): the same answer, but only
//                 from a module that holds the item with exactly those bytes (through the
//                 registered item lookup); modules stay silent otherwise, and all of them stay
//                 silent while no lookup is registered or when the request is cut short.
// 0x00            probe: status word 0.
// No plant-file keys of its own: it answers from the module's identity ("mac", "ipNotSet").
#include "nlisim/sim.h"

#include <algorithm>

namespace nlisim {

namespace {

Bytes discoveryAnswer(const Module& m) {
    Bytes b{0x55, 0xAA};
    b.insert(b.end(), m.mac.begin(), m.mac.end());
    b.push_back(m.ipNotSet ? 1 : 0);
    b.push_back(m.family);
    b.push_back(m.platform);
    b.push_back(m.generation);
    return b;
}

} // namespace

NLISIM_REGISTER_HANDLERS {
    registerHandler(
        0x05, [](Module& m, const Request&, Reply& reply) { reply.send(discoveryAnswer(m)); });

    registerHandler(0x09, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        if (p.size() < 6 || p[1] != 0x00) return;
        uint16_t item = getU16(&p[2]);
        uint16_t length = getU16(&p[4]);
        if (p.size() < size_t{6} + length) return;
        const ItemLookup& lookup = itemLookup();
        if (!lookup) return;
        Bytes held;
        if (!lookup(m, item, held)) return;
        if (held.size() != length || !std::equal(held.begin(), held.end(), p.begin() + 6)) return;
        reply.send(discoveryAnswer(m));
    });

    registerHandler(0x00, [](Module&, const Request&, Reply& reply) { reply.status(0); });
}

} // namespace nlisim
