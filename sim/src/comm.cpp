// Serial pass-through (function 0x23) of a simulated module: its serial ports' queues and setup.
//
// Requests answered (0x23, sub-function; the Ex forms have bit 0x80 set and name the port in the
// next byte, counted from 0; the plain forms use the default port). Every answer but the setup
// read starts with a status word:
//   0x01 len data       write: the bytes leave the port (or wait in the transmit queue when
//                       "txDrain" is off; 120 when it has no room)
//   0x02 wanted         read: count (u16) and up to `wanted` received bytes (at most 187)
//   0x03                bytes waiting (u16)
//   0x04                flush the receive queue
//   0x05 store 0 rec(8) setup: applies the record; with store non-zero it is also kept, and the
//                       answer comes twice (status 0 at once, the result after
//                       "serialStoreDelayMs"). 143 for a baud rate the port cannot run.
//   0x06                transmit space (u16)
//   0x07 0 0            the setup record in effect, 8 bytes from offset 9 (no status word)
//   0x08 len data       access: the bytes leave the port and the attached device's reply comes
//                       back: count (u16) and the bytes ("accessReply", else the bytes echoed)
//   0x09                flush the transmit queue
// A port beyond the module's ports gets status 133 alone (also for the setup read; a setup to
// be stored gets it as its second answer); a length field that disagrees with the data gets
// 109; an unknown sub-function 113.
//
// Plant-file keys of a module:
//   "serialPorts": [ { "setup": { "baud": 9600, "flags": 6, "rtsPreMs": 0, "rtsPostMs": 0 },
//                      "rx": "hex", "txCapacity": 256, "txDrain": true, "loopback": false,
//                      "accessReply": "hex", "ignoreWanted": false, "countSkew": 0 } ]
//       One object per port (default: one port with the setup above). "setup" may also be the
//       8 record bytes as hex text; RTS delays are in ms (even, 0..510). "rx" holds bytes
//       already received. "loopback" makes every byte that leaves come back into the receive
//       queue. "ignoreWanted" and "countSkew" model a misbehaving module: reads answer all that
//       is waiting, and reported counts are off by the skew.
//   "serialDefaultPort": 1      the port (counted from 1) of the plain sub-functions
//   "serialStoreDelayMs": 20
#include "comm.h"

#include "base.h"

#include <algorithm>
#include <stdexcept>

namespace nlisim {

namespace {

constexpr uint8_t kFnComm = 0x23;
constexpr size_t kMaxReadBytes = 200 - 13;    // what fits the library's 200-byte answer room
constexpr size_t kMaxAccessBytes = 1500 - 13; // ... and its 1500-byte access room

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

SerialSetup makeSetup(uint32_t baud, uint8_t flags, uint8_t pre, uint8_t post) {
    return {static_cast<uint8_t>(baud),
            static_cast<uint8_t>(baud >> 8),
            static_cast<uint8_t>(baud >> 16),
            static_cast<uint8_t>(baud >> 24),
            flags,
            pre,
            post,
            0};
}

uint32_t baudOf(const SerialSetup& s) {
    return getU32(s.data());
}

bool baudSupported(uint32_t baud) {
    static const uint32_t rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return std::find(std::begin(rates), std::end(rates), baud) != std::end(rates);
}

uint64_t number(const Json& o, const char* name, uint64_t fallback, uint64_t max,
                const std::string& w) {
    auto it = o.find(name);
    if (it == o.end()) return fallback;
    if (!isNonNegative(*it) || it->get<uint64_t>() > max)
        refuse(w + ": key \"" + name + "\": expected a number 0.." + std::to_string(max));
    return it->get<uint64_t>();
}

bool flag(const Json& o, const char* name, bool fallback, const std::string& w) {
    auto it = o.find(name);
    if (it == o.end()) return fallback;
    if (!it->is_boolean()) refuse(w + ": key \"" + name + "\": expected true or false");
    return it->get<bool>();
}

SerialSetup loadSetup(const Json& j, const std::string& w) {
    if (j.is_string()) {
        Bytes b = parseHex(j.get<std::string>(), w);
        if (b.size() != 8) refuse(w + ": expected the 8 bytes of a setup record");
        SerialSetup s{};
        std::copy(b.begin(), b.end(), s.begin());
        return s;
    }
    if (!j.is_object()) refuse(w + ": expected { \"baud\", \"flags\", ... } or 8 hex bytes");
    uint32_t baud = static_cast<uint32_t>(number(j, "baud", 9600, 0xFFFFFFFF, w));
    uint8_t flags = static_cast<uint8_t>(number(j, "flags", 6, 255, w));
    uint8_t pre = static_cast<uint8_t>(number(j, "rtsPreMs", 0, 510, w) / 2);
    uint8_t post = static_cast<uint8_t>(number(j, "rtsPostMs", 0, 510, w) / 2);
    return makeSetup(baud, flags, pre, post);
}

Json saveSetup(const SerialSetup& s) {
    return Json{{"baud", baudOf(s)},
                {"flags", s[4]},
                {"rtsPreMs", unsigned{s[5]} * 2u},
                {"rtsPostMs", unsigned{s[6]} * 2u}};
}

Bytes hexKey(const Json& o, const char* name, const std::string& w) {
    const Json& v = o.at(name);
    if (!v.is_string()) refuse(w + ": key \"" + name + "\": expected hex text");
    return parseHex(v.get<std::string>(), w + ": key \"" + name + "\"");
}

SerialPort loadPort(const Json& j, const std::string& w) {
    if (!j.is_object()) refuse(w + ": expected an object");
    SerialPort p;
    p.setup = makeSetup(9600, 6, 0, 0);
    if (auto it = j.find("setup"); it != j.end()) p.setup = loadSetup(*it, w + ": setup");
    p.stored = p.setup;
    if (j.contains("rx")) p.rx = hexKey(j, "rx", w);
    p.txCapacity = static_cast<size_t>(number(j, "txCapacity", 256, 65535, w));
    p.txDrain = flag(j, "txDrain", true, w);
    p.loopback = flag(j, "loopback", false, w);
    if (j.contains("accessReply")) p.accessReply = hexKey(j, "accessReply", w);
    p.ignoreWanted = flag(j, "ignoreWanted", false, w);
    if (auto it = j.find("countSkew"); it != j.end()) {
        if (!it->is_number_integer() || it->get<int64_t>() < -65535 || it->get<int64_t>() > 65535)
            refuse(w + ": key \"countSkew\": expected a number -65535..65535");
        p.countSkew = static_cast<int32_t>(it->get<int64_t>());
    }
    return p;
}

// A reported count: the true one, off by the port's skew, kept within a u16.
uint16_t reported(const SerialPort& p, size_t count) {
    int64_t v = static_cast<int64_t>(count) + p.countSkew;
    return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 0xFFFF));
}

// Bytes that leave the port.
void transmit(SerialPort& p, const Bytes& data) {
    p.sent.insert(p.sent.end(), data.begin(), data.end());
    if (p.loopback) p.rx.insert(p.rx.end(), data.begin(), data.end());
}

} // namespace

CommState::CommState(Module& module) {
    const std::string w = "module " + std::to_string(module.index);
    const Json& doc = module.doc;
    if (auto it = doc.find("serialPorts"); it != doc.end()) {
        if (!it->is_array()) refuse(w + ": key \"serialPorts\": expected a list of ports");
        for (size_t k = 0; k < it->size(); ++k)
            ports.push_back(loadPort((*it)[k], w + ": serial port " + std::to_string(k + 1)));
    } else {
        ports.push_back(loadPort(Json::object(), w + ": serial port 1"));
    }
    if (auto it = doc.find("serialDefaultPort"); it != doc.end()) {
        if (!isNonNegative(*it) || it->get<uint64_t>() < 1 || it->get<uint64_t>() > ports.size())
            refuse(w + ": key \"serialDefaultPort\": expected a port 1.." +
                   std::to_string(ports.size()));
        defaultPort = static_cast<size_t>(it->get<uint64_t>() - 1);
    }
    storeDelayMs = static_cast<uint32_t>(number(doc, "serialStoreDelayMs", 20, 600000, w));
}

void CommState::save(Json& doc) const {
    Json list = Json::array();
    for (const SerialPort& p : ports) {
        Json j = Json::object();
        j["setup"] = saveSetup(p.stored);
        if (!p.rx.empty()) j["rx"] = hexText(p.rx);
        j["txCapacity"] = p.txCapacity;
        if (!p.txDrain) j["txDrain"] = false;
        if (p.loopback) j["loopback"] = true;
        if (p.accessReply) j["accessReply"] = hexText(*p.accessReply);
        if (p.ignoreWanted) j["ignoreWanted"] = true;
        if (p.countSkew) j["countSkew"] = p.countSkew;
        list.push_back(j);
    }
    doc["serialPorts"] = list;
    doc["serialDefaultPort"] = defaultPort + 1;
    doc["serialStoreDelayMs"] = storeDelayMs;
}

NLISIM_REGISTER_HANDLERS {
    registerHandler(kFnComm, [](Module& m, const Request& req, Reply& reply) {
        CommState& s = m.feature<CommState>();
        s.lastRequest = req.payload;
        ++s.requests;
        const Bytes& p = req.payload;
        if (p.size() < 2) return reply.status(kStatusCommSizeError);
        const uint8_t sub = p[1] & 0x7F;
        size_t pos = 2;
        size_t index = s.defaultPort;
        if (p[1] & 0x80) {
            if (p.size() < 3) return reply.status(kStatusCommSizeError);
            index = p[2];
            pos = 3;
        }
        const size_t left = p.size() - pos;
        const uint8_t* args = p.data() + pos;
        if (index >= s.ports.size()) {
            // A setup that is to be stored answers twice whatever becomes of it.
            if (sub == 0x05 && left >= 1 && args[0] != 0) {
                Bytes ack, result;
                putU16(ack, 0);
                putU16(result, kStatusNoSuchPort);
                return reply.twoResponses(ack, s.storeDelayMs, result);
            }
            return reply.status(kStatusNoSuchPort);
        }
        SerialPort& port = s.ports[index];

        switch (sub) {
        case 0x01: { // write
            if (left < 2 || getU16(args) != left - 2) return reply.status(kStatusCommSizeError);
            Bytes data(args + 2, args + left);
            if (port.txDrain) {
                transmit(port, data);
            } else {
                if (port.tx.size() + data.size() > port.txCapacity)
                    return reply.status(kStatusCommBusy);
                port.tx.insert(port.tx.end(), data.begin(), data.end());
            }
            return reply.status(0);
        }
        case 0x02: { // read
            if (left != 2) return reply.status(kStatusCommSizeError);
            size_t n = port.rx.size();
            if (!port.ignoreWanted) n = std::min<size_t>(n, getU16(args));
            n = std::min(n, kMaxReadBytes);
            Bytes data;
            putU16(data, reported(port, n));
            data.insert(data.end(), port.rx.begin(), port.rx.begin() + static_cast<long>(n));
            port.rx.erase(port.rx.begin(), port.rx.begin() + static_cast<long>(n));
            return reply.status(0, data);
        }
        case 0x03: { // bytes waiting
            Bytes data;
            putU16(data, static_cast<uint16_t>(std::min<size_t>(port.rx.size(), 0xFFFF)));
            return reply.status(0, data);
        }
        case 0x04:
            port.rx.clear();
            return reply.status(0);
        case 0x05: { // setup
            const bool store = left >= 1 && args[0] != 0;
            SerialSetup setup{};
            uint16_t status = 0;
            if (left != 2 + 8 || args[1] != 0x00) {
                status = kStatusCommSizeError;
            } else {
                std::copy(args + 2, args + 10, setup.begin());
                if (!baudSupported(baudOf(setup))) {
                    status = kStatusSerialSetupError;
                } else {
                    port.setup = setup;
                    if (store) port.stored = setup;
                }
            }
            Bytes result;
            putU16(result, status);
            if (!store) return reply.send(result);
            Bytes ack;
            putU16(ack, 0);
            return reply.twoResponses(ack, s.storeDelayMs, result);
        }
        case 0x06: { // transmit space
            Bytes data;
            size_t space = port.tx.size() >= port.txCapacity ? 0 : port.txCapacity - port.tx.size();
            putU16(data, static_cast<uint16_t>(std::min<size_t>(space, 0xFFFF)));
            return reply.status(0, data);
        }
        case 0x07: // the setup record, data shape
            return reply.send(Bytes(port.setup.begin(), port.setup.end()));
        case 0x08: { // access
            if (left < 2 || getU16(args) != left - 2) return reply.status(kStatusCommSizeError);
            Bytes data(args + 2, args + left);
            transmit(port, data);
            Bytes answer = port.accessReply ? *port.accessReply : data;
            if (answer.size() > kMaxAccessBytes) answer.resize(kMaxAccessBytes);
            Bytes out;
            putU16(out, reported(port, answer.size()));
            out.insert(out.end(), answer.begin(), answer.end());
            return reply.status(0, out);
        }
        case 0x09:
            port.tx.clear();
            return reply.status(0);
        default:
            return reply.status(kStatusCommUnknown);
        }
    });
}

} // namespace nlisim
