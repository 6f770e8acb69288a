// The plant: modules loaded from a JSON plant file or generated, and written back.
//
// Plant file:
//   { "seed": 7, "modules": [ { "mac": "00:E0:62:11:22:33", "family": 1, ... }, ... ] }
// Identity keys of a module (all but "mac" optional): "mac", "family", "platform",
// "generation", "name", "crc", "ipNotSet", "acceptScrambled", "discoveryMagic" ("R" or "A"),
// "faults" { "dropShare", "delayMs", "duplicate", "lateOldSequence", "badChecksum", "badMagic",
// "noSignature", "silent" }. Every other key of a module's object belongs to a feature and is
// kept in Module::doc.
#include "nlisim/sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace nlisim {

// ---------------------------------------------------------------------------------------------
// Ethernet addresses

std::string macToString(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

bool parseMac(const std::string& text, Mac& mac) {
    // Six pairs of hex digits, separated by one of ':', '-', ' ' (the same one throughout) or by
    // nothing at all.
    Mac out{};
    size_t pos = 0;
    char sep = 0;
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0) {
            if (pos < text.size() && (text[pos] == ':' || text[pos] == '-' || text[pos] == ' ')) {
                if (i == 1)
                    sep = text[pos];
                else if (sep != text[pos])
                    return false;
                ++pos;
            } else if (sep != 0) {
                return false;
            }
        }
        if (pos + 2 > text.size()) return false;
        int hi = hexDigit(text[pos]), lo = hexDigit(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
        pos += 2;
    }
    if (pos != text.size()) return false;
    mac = out;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Module copies

namespace {

void copyIdentity(Module& to, const Module& from) {
    to.mac = from.mac;
    to.family = from.family;
    to.platform = from.platform;
    to.generation = from.generation;
    to.name = from.name;
    to.crc = from.crc;
    to.ipNotSet = from.ipNotSet;
    to.acceptScrambled = from.acceptScrambled;
    to.discoveryMagic = from.discoveryMagic;
    to.faults = from.faults;
    to.index = from.index;
    to.rng = from.rng;
    to.requestsReceived = from.requestsReceived;
    to.answersSent = from.answersSent;
    to.requestsDropped = from.requestsDropped;
    to.badCrcIgnored = from.badCrcIgnored;
    to.lastAnswer = from.lastAnswer;
    to.offlineUntil = from.offlineUntil;
}

} // namespace

Json Module::savedDoc() const {
    Json out = doc.is_object() ? doc : Json::object();
    for (const auto& [type, state] : features_)
        if (state) state->save(out);
    return out;
}

Module::Module(const Module& other) : doc(other.savedDoc()) {
    copyIdentity(*this, other);
}

Module::Module(Module&& other) noexcept {
    copyIdentity(*this, other);
    if (other.features_.empty())
        doc = std::move(other.doc);
    else
        doc = other.savedDoc();
}

Module& Module::operator=(const Module& other) {
    if (this == &other) return *this;
    Json saved = other.savedDoc();
    features_.clear();
    copyIdentity(*this, other);
    doc = std::move(saved);
    return *this;
}

Module& Module::operator=(Module&& other) noexcept {
    if (this == &other) return *this;
    Json saved = other.features_.empty() ? std::move(other.doc) : other.savedDoc();
    features_.clear();
    copyIdentity(*this, other);
    doc = std::move(saved);
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Loading

namespace {

const std::set<std::string>& identityKeys() {
    static const std::set<std::string> keys{
        "mac", "family",   "platform",        "generation",     "name",
        "crc", "ipNotSet", "acceptScrambled", "discoveryMagic", "faults"};
    return keys;
}

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

std::string where(size_t index, const Json& object) {
    std::string w = "module " + std::to_string(index);
    auto it = object.find("mac");
    if (it != object.end() && it->is_string()) w += " (" + it->get<std::string>() + ")";
    return w;
}

std::string shown(const Json& value) {
    std::string s = value.dump();
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

uint8_t byteKey(const Json& object, const char* key, uint8_t fallback, const std::string& w) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 255)
        refuse(w + ": key \"" + key + "\": expected an integer 0..255, got " + shown(*it));
    return static_cast<uint8_t>(it->get<int64_t>());
}

bool boolKey(const Json& object, const char* key, bool fallback, const std::string& w) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (!it->is_boolean())
        refuse(w + ": key \"" + key + "\": expected true or false, got " + shown(*it));
    return it->get<bool>();
}

Faults loadFaults(const Json& f, const std::string& w) {
    Faults faults;
    if (!f.is_object()) refuse(w + ": key \"faults\": expected an object, got " + shown(f));
    static const std::set<std::string> known{"dropShare",       "delayMs",     "duplicate",
                                             "lateOldSequence", "badChecksum", "badMagic",
                                             "noSignature",     "silent"};
    for (auto it = f.begin(); it != f.end(); ++it)
        if (!known.count(it.key()))
            refuse(w + ": key \"faults\": unknown fault \"" + it.key() +
                   "\" (known: dropShare, delayMs, duplicate, lateOldSequence, badChecksum, "
                   "badMagic, noSignature, silent)");
    std::string fw = w + ": faults";
    if (auto it = f.find("dropShare"); it != f.end()) {
        if (!it->is_number() || it->get<double>() < 0.0 || it->get<double>() > 1.0)
            refuse(fw + ": key \"dropShare\": expected a number 0..1, got " + shown(*it));
        faults.dropShare = it->get<double>();
    }
    if (auto it = f.find("delayMs"); it != f.end()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 600000)
            refuse(fw + ": key \"delayMs\": expected an integer 0..600000, got " + shown(*it));
        faults.delayMs = static_cast<uint32_t>(it->get<int64_t>());
    }
    faults.duplicate = boolKey(f, "duplicate", false, fw);
    faults.lateOldSequence = boolKey(f, "lateOldSequence", false, fw);
    faults.badChecksum = boolKey(f, "badChecksum", false, fw);
    faults.badMagic = boolKey(f, "badMagic", false, fw);
    faults.noSignature = boolKey(f, "noSignature", false, fw);
    faults.silent = boolKey(f, "silent", false, fw);
    return faults;
}

Json saveFaults(const Faults& f) {
    Json j = Json::object();
    if (f.dropShare != 0.0) j["dropShare"] = f.dropShare;
    if (f.delayMs != 0) j["delayMs"] = f.delayMs;
    if (f.duplicate) j["duplicate"] = true;
    if (f.lateOldSequence) j["lateOldSequence"] = true;
    if (f.badChecksum) j["badChecksum"] = true;
    if (f.badMagic) j["badMagic"] = true;
    if (f.noSignature) j["noSignature"] = true;
    if (f.silent) j["silent"] = true;
    return j;
}

Module loadModule(const Json& object, size_t index) {
    std::string w = where(index, object);
    if (!object.is_object()) refuse(w + ": expected an object, got " + shown(object));
    Module m;
    auto mac = object.find("mac");
    if (mac == object.end()) refuse(w + ": key \"mac\" is missing");
    if (!mac->is_string() || !parseMac(mac->get<std::string>(), m.mac))
        refuse(w + ": key \"mac\": expected an Ethernet address like \"00:E0:62:11:22:33\", got " +
               shown(*mac));
    m.family = byteKey(object, "family", m.family, w);
    m.platform = byteKey(object, "platform", m.platform, w);
    m.generation = byteKey(object, "generation", m.generation, w);
    if (auto it = object.find("name"); it != object.end()) {
        if (!it->is_string()) refuse(w + ": key \"name\": expected a text, got " + shown(*it));
        m.name = it->get<std::string>();
    }
    m.crc = boolKey(object, "crc", m.crc, w);
    m.ipNotSet = boolKey(object, "ipNotSet", m.ipNotSet, w);
    m.acceptScrambled = boolKey(object, "acceptScrambled", m.acceptScrambled, w);
    if (auto it = object.find("discoveryMagic"); it != object.end()) {
        if (*it == "R")
            m.discoveryMagic = 0x52;
        else if (*it == "A")
            m.discoveryMagic = 0x41;
        else
            refuse(w + ": key \"discoveryMagic\": expected \"R\" or \"A\", got " + shown(*it));
    }
    if (auto it = object.find("faults"); it != object.end()) m.faults = loadFaults(*it, w);
    m.doc = Json::object();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!identityKeys().count(it.key())) m.doc[it.key()] = it.value();
    return m;
}

} // namespace

Plant Plant::fromJson(const Json& doc) {
    Plant plant;
    if (!doc.is_object()) refuse("plant: expected an object with \"modules\", got " + shown(doc));
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (it.key() != "seed" && it.key() != "modules")
            refuse("plant: unknown top-level key \"" + it.key() +
                   "\" (expected \"seed\" and \"modules\")");
    if (auto it = doc.find("seed"); it != doc.end()) {
        if (!it->is_number_unsigned())
            refuse("plant: key \"seed\": expected an unsigned integer, got " + shown(*it));
        plant.seed = it->get<uint64_t>();
    }
    auto modules = doc.find("modules");
    if (modules == doc.end()) refuse("plant: key \"modules\" is missing");
    if (!modules->is_array())
        refuse("plant: key \"modules\": expected an array, got " + shown(*modules));
    plant.modules.reserve(modules->size());
    std::map<Mac, size_t> seen;
    for (size_t i = 0; i < modules->size(); ++i) {
        plant.modules.push_back(loadModule((*modules)[i], i));
        auto [it, fresh] = seen.emplace(plant.modules.back().mac, i);
        if (!fresh)
            refuse(where(i, (*modules)[i]) + ": key \"mac\": the same Ethernet address as module " +
                   std::to_string(it->second));
    }
    plant.reseed();
    return plant;
}

Plant Plant::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) refuse(path + ": cannot open: " + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) refuse(path + ": cannot read: " + std::strerror(errno));
    Json doc;
    try {
        doc = Json::parse(text.str());
    } catch (const Json::exception& e) {
        refuse(path + ": not valid JSON: " + e.what());
    }
    try {
        return fromJson(doc);
    } catch (const std::runtime_error& e) {
        refuse(path + ": " + e.what());
    }
}

// ---------------------------------------------------------------------------------------------
// Generating

Plant Plant::generate(size_t count, uint64_t seed) {
    if (count > 0xFFFFFF) refuse("plant: cannot generate more than 16777215 modules");
    struct Kind {
        uint8_t family;
        bool secondGeneration; // may be second generation
    };
    // Every family appears in any ten consecutive modules; communication modules and base
    // controllers most often, as in a real plant.
    static const Kind kinds[] = {{1, true},  {0, true},  {4, true},  {1, true},  {2, false},
                                 {6, false}, {3, false}, {7, false}, {8, false}, {0, true}};
    static const uint8_t platforms[] = {0, 2, 3, 4, 10};

    Plant plant;
    plant.seed = seed;
    std::seed_seq plantSeq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                           0x504C414Eu};
    std::mt19937_64 rng(plantSeq);
    std::set<uint32_t> used;
    plant.modules.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        Module m;
        uint32_t low;
        do {
            low = static_cast<uint32_t>(rng() & 0xFFFFFF);
        } while (low == 0 || low == 0xFFFFFF || !used.insert(low).second);
        m.mac = {0x00,
                 0xE0,
                 0x62,
                 static_cast<uint8_t>(low >> 16),
                 static_cast<uint8_t>(low >> 8),
                 static_cast<uint8_t>(low)};
        const Kind& kind = kinds[i % std::size(kinds)];
        m.family = kind.family;
        if (m.family == 3)
            m.platform = static_cast<uint8_t>(1 + rng() % 4); // drive type
        else
            m.platform = platforms[rng() % std::size(platforms)];
        m.generation = kind.secondGeneration ? static_cast<uint8_t>(rng() % 2) : 0;
        char name[16];
        std::snprintf(name, sizeof name, "SIM-%03zu", i);
        m.name = name;
        m.discoveryMagic = (i % 8 == 5) ? 0x41 : 0x52;
        m.doc = Json::object();
        plant.modules.push_back(std::move(m));
    }
    plant.reseed();
    return plant;
}

void Plant::reseed() {
    for (size_t i = 0; i < modules.size(); ++i) {
        modules[i].index = i;
        std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                          static_cast<uint32_t>(i), static_cast<uint32_t>(uint64_t{i} >> 32)};
        modules[i].rng.seed(seq);
    }
}

Module* Plant::find(const Mac& mac) {
    for (auto& m : modules)
        if (m.mac == mac) return &m;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Saving

Json Plant::toJson() const {
    Json list = Json::array();
    for (const Module& m : modules) {
        Json j = m.savedDoc();
        j["mac"] = macToString(m.mac);
        j["family"] = m.family;
        j["platform"] = m.platform;
        j["generation"] = m.generation;
        j["name"] = m.name;
        j["crc"] = m.crc;
        j["ipNotSet"] = m.ipNotSet;
        j["acceptScrambled"] = m.acceptScrambled;
        j["discoveryMagic"] = m.discoveryMagic == 0x41 ? "A" : "R";
        Json faults = saveFaults(m.faults);
        if (!faults.empty())
            j["faults"] = faults;
        else
            j.erase("faults");
        list.push_back(std::move(j));
    }
    return Json{{"seed", seed}, {"modules", std::move(list)}};
}

void Plant::saveFile(const std::string& path) const {
    std::string text = toJson().dump(2) + "\n";
    // Written beside the target and renamed over it, so a failed save leaves the old file whole.
    std::string temp = path + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) refuse(path + ": cannot write: " + std::strerror(errno));
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        std::remove(temp.c_str());
        refuse(path + ": cannot write: " + std::strerror(err));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        std::remove(temp.c_str());
        refuse(path + ": cannot replace: " + std::strerror(err));
    }
}

// ---------------------------------------------------------------------------------------------
// The default plant

const char* Plant::demoJson() {
    return R"({
  "seed": 1,
  "modules": [
    { "mac": "00:E0:62:10:00:01", "family": 1, "platform": 2, "generation": 0,
      "name": "Line 1 LCM" },
    { "mac": "00:E0:62:10:00:02", "family": 0, "platform": 4, "generation": 1,
      "name": "Press base" },
    { "mac": "00:E0:62:10:00:03", "family": 4, "platform": 3, "generation": 1,
      "name": "Remote master", "discoveryMagic": "A" },
    { "mac": "00:E0:62:10:00:04", "family": 2, "platform": 4, "generation": 0,
      "name": "Cell controller" },
    { "mac": "00:E0:62:10:00:05", "family": 6, "platform": 0, "generation": 0,
      "name": "Panel adapter" },
    { "mac": "00:E0:62:10:00:06", "family": 1, "platform": 10, "generation": 1,
      "name": "New LCM", "ipNotSet": true },
    { "mac": "00:E0:62:10:00:07", "family": 3, "platform": 4, "generation": 0,
      "name": "Conveyor drive" }
  ]
}
)";
}

Plant Plant::demo() {
    return fromJson(Json::parse(demoJson()));
}

} // namespace nlisim
