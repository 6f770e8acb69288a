// The handler registry and the item-lookup hook. Registration happens during static
// initialisation of every feature's file, so the tables are function-local statics (created on
// first use, whatever the order of the files).
#include "nlisim/sim.h"

#include <cstdio>
#include <cstdlib>

namespace nlisim {

namespace {

std::map<uint8_t, Handler>& handlers() {
    static std::map<uint8_t, Handler> table;
    return table;
}

ItemLookup& lookupSlot() {
    static ItemLookup lookup;
    return lookup;
}

} // namespace

void registerHandler(uint8_t functionCode, Handler handler) {
    auto [it, inserted] = handlers().emplace(functionCode, std::move(handler));
    if (!inserted) {
        // Two features answering one function code is a build mistake; say so at once.
        std::fprintf(stderr, "nlisim: two handlers registered for function code 0x%02X\n",
                     functionCode);
        std::abort();
    }
}

const Handler* findHandler(uint8_t functionCode) {
    auto& table = handlers();
    auto it = table.find(functionCode);
    return it == table.end() ? nullptr : &it->second;
}

void setItemLookup(ItemLookup lookup) {
    lookupSlot() = std::move(lookup);
}

const ItemLookup& itemLookup() {
    return lookupSlot();
}

} // namespace nlisim
