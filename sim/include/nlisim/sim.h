// The module simulator: a plant of simulated modules answering over loopback UDP and a
// pseudo-terminal, written from the module's side of the protocol.
//
// Extending it: a feature (setup items, base definition, memory, boot loader, ...) lives in its
// own file under sim/src/. It keeps its per-module state in a class derived from FeatureState,
// reached through Module::feature<T>(), which loads it lazily from the module's plant-file object
// and saves it back when the plant is saved; and it answers its function codes through handlers
// registered with NLISIM_REGISTER_HANDLERS. Handlers run on the simulator's thread with the
// plant locked.
#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <typeindex>
#include <vector>

namespace nlisim {

using Bytes = std::vector<uint8_t>;
using Json = nlohmann::json;
using Mac = std::array<uint8_t, 6>;

std::string macToString(const Mac& mac);          // "00:E0:62:11:22:33"
bool parseMac(const std::string& text, Mac& mac); // accepts ':', '-' or ' ' separators

// Little-endian helpers for building and reading payloads.
inline void putU16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void putU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Misbehaviour injected on purpose, per module; every random choice comes from the module's
// generator, seeded from the plant seed and the module index, so a run can be repeated.
struct Faults {
    double dropShare = 0.0;      // share of requests silently ignored (0..1)
    uint32_t delayMs = 0;        // every answer leaves this much later
    bool duplicate = false;      // every answer is sent twice
    bool lateOldSequence = false;// before each answer, re-send the previous answer (old sequence)
    bool badChecksum = false;    // CRC field of answers is wrong (never 0)
    bool badMagic = false;       // first magic byte of answers is wrong
    bool noSignature = false;    // discovery answers lack 0x55 0xAA
    bool silent = false;         // answers nothing at all (requests still act and are counted)
};

// Per-module state of one feature; see the file comment.
class FeatureState {
  public:
    virtual ~FeatureState() = default;
    // Writes this feature's part of the module's plant-file object.
    virtual void save(Json& moduleDoc) const { (void)moduleDoc; }
};

struct Module {
    // Identity.
    Mac mac{};
    uint8_t family = 1;     // family code, byte 2 of the device definition
    uint8_t platform = 0;   // platform code, byte 0 of the device definition
    uint8_t generation = 0; // second-generation flag, byte 25 of the device definition
    std::string name;
    bool crc = true;             // answers carry a CRC (else CRC field 0)
    bool ipNotSet = false;       // discovery byte 17: no IP address yet
    bool acceptScrambled = true; // unscrambles requests with the library's key; else ignores them
    uint8_t discoveryMagic = 0x52; // third magic byte of discovery answers: 0x52 'R' or 0x41 'A'
    Faults faults;

    // The module's object from the plant file, as loaded; features read their own keys from it.
    Json doc = Json::object();

    // Runtime (not saved).
    size_t index = 0;
    std::mt19937_64 rng;
    uint32_t requestsReceived = 0;  // requests that reached this module (before faults)
    uint32_t answersSent = 0;
    uint32_t requestsDropped = 0;   // requests ignored by the drop fault
    uint32_t badCrcIgnored = 0;     // requests ignored for a wrong (non-zero) CRC field
    Bytes lastAnswer;               // the last answer packet sent (for the late-answer fault)
    // While the clock is before this, the module ignores every request (a feature sets it to
    // model a restart); requests arriving meanwhile are not counted.
    std::chrono::steady_clock::time_point offlineUntil{};

    Module() = default;
    // A copy or a move carries the features' state as their save() wrote it into doc; the
    // feature objects themselves stay with (and refer to) the original module.
    Module(const Module& other);
    Module(Module&& other) noexcept;
    Module& operator=(const Module& other);
    Module& operator=(Module&& other) noexcept;
    ~Module() = default;

    // doc with every instantiated feature's current state saved into it.
    Json savedDoc() const;

    template <class T> T& feature() {
        auto& slot = features_[std::type_index(typeid(T))];
        if (!slot) slot = std::make_shared<T>(*this);
        return static_cast<T&>(*slot);
    }
    const std::map<std::type_index, std::shared_ptr<FeatureState>>& features() const {
        return features_;
    }

  private:
    std::map<std::type_index, std::shared_ptr<FeatureState>> features_;
};

struct Plant {
    std::vector<Module> modules;
    uint64_t seed = 1;

    static Plant fromJson(const Json& doc);      // throws std::runtime_error with the reason
    static Plant fromFile(const std::string& path);
    static Plant generate(size_t count, uint64_t seed = 1);
    static Plant demo();                 // the default plant of tessan3-sim (sim/plants/demo.json)
    static const char* demoJson();       // its text
    Json toJson() const; // identity, faults and every feature's state
    void saveFile(const std::string& path) const; // throws std::runtime_error with the reason
    Module* find(const Mac& mac);
    // Sets every module's index and seeds its generator from (seed, index).
    void reseed();
};

// One request as the addressed module sees it (header stripped, unscrambled).
struct Request {
    uint16_t sequence = 0;
    Bytes payload;          // from the function code on
    bool addressed = false; // carried 0x15 + Ethernet address
    bool broadcast = false; // arrived on the broadcast endpoint
    bool serial = false;    // arrived on the pseudo-terminal
    bool scrambled = false;
    Plant* plant = nullptr; // the whole plant (locked), for features that reach other modules

    uint8_t functionCode() const { return payload.empty() ? 0 : payload[0]; }
};

// How a handler answers. Payloads are the bytes after the 9-byte header; the simulator adds the
// header with the request's sequence number, the CRC and the faults.
class Reply {
  public:
    virtual ~Reply() = default;
    virtual void send(const Bytes& payload) = 0;                     // answer now
    virtual void sendAfter(uint32_t delayMs, const Bytes& payload) = 0; // a later answer
    // u16 status word, then data (the status-word answer shape).
    void status(uint16_t statusWord, const Bytes& data = {}) {
        Bytes b;
        putU16(b, statusWord);
        b.insert(b.end(), data.begin(), data.end());
        send(b);
    }
    // The two-response pattern: acknowledgement now, completion after delayMs.
    void twoResponses(const Bytes& ack, uint32_t delayMs, const Bytes& completion) {
        send(ack);
        sendAfter(delayMs, completion);
    }
};

using Handler = std::function<void(Module&, const Request&, Reply&)>;

// Handler registry, keyed by function code (payload byte 0).
void registerHandler(uint8_t functionCode, Handler handler);
const Handler* findHandler(uint8_t functionCode);

// Status word of the answer to a function code no handler knows (NLIE_INVALID_REQUEST_INT).
inline constexpr uint16_t kStatusInvalidRequest = 113;

// The query with a data item (0x09 0x00) is answered only by modules that hold the item with
// exactly the bytes asked for. The setup-item store registers how to look an item up: the
// lookup fills data and returns true when the module holds the item.
using ItemLookup = std::function<bool(Module&, uint16_t item, Bytes& data)>;
void setItemLookup(ItemLookup lookup);
const ItemLookup& itemLookup(); // empty until one is registered

struct HandlerRegistrar {
    explicit HandlerRegistrar(void (*fn)()) { fn(); }
};
#define NLISIM_CONCAT2(a, b) a##b
#define NLISIM_CONCAT(a, b) NLISIM_CONCAT2(a, b)
// NLISIM_REGISTER_HANDLERS { registerHandler(0x01, ...); ... }
#define NLISIM_REGISTER_HANDLERS                                                                 \
    static void NLISIM_CONCAT(nlisimRegister, __LINE__)();                                       \
    static ::nlisim::HandlerRegistrar NLISIM_CONCAT(nlisimRegistrar, __LINE__)(                   \
        &NLISIM_CONCAT(nlisimRegister, __LINE__));                                               \
    static void NLISIM_CONCAT(nlisimRegister, __LINE__)()

struct Options {
    std::string bindAddress = "127.0.0.1"; // where every endpoint listens
    uint16_t broadcastPort = 0;            // 0 = any free port; 0x7070 for a real broadcast test
    bool serial = false;                   // serve module `serialModule` on a pseudo-terminal too
    size_t serialModule = 0;
    bool verbose = false;                  // log every request to stderr
};

// What the simulator's thread has seen since start().
struct Counters {
    uint64_t packetsReceived = 0;   // datagrams and serial packets read, before any check
    uint64_t requestsReceived = 0;  // requests that reached a module (before faults)
    uint64_t answersSent = 0;       // answer packets sent (duplicates and late re-sends count)
    uint64_t requestsDropped = 0;   // ignored by the drop fault
    uint64_t badCrcIgnored = 0;     // ignored for a non-zero, wrong CRC field
    uint64_t scrambledIgnored = 0;  // scrambled requests to modules that do not accept them
    uint64_t malformedIgnored = 0;  // bad magic, too short, length that fits neither reading
    uint64_t notForUs = 0;          // addressed to an Ethernet address nobody here has
};

struct Endpoint {
    std::string address;
    uint16_t port = 0;
    std::string text() const { return address + ":" + std::to_string(port); }
};

// Serves a plant. start() binds every endpoint and runs the simulator's thread; stop() (or the
// destructor) ends it. Everything else may be called from any thread.
class Simulator {
  public:
    Simulator(Plant plant, Options options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    void start(); // throws std::runtime_error when an endpoint cannot be opened
    void stop();

    Endpoint broadcastEndpoint() const;        // receives the broadcasts for all modules
    Endpoint moduleEndpoint(size_t index) const; // each module's own endpoint
    std::string serialPath() const;             // pseudo-terminal slave path, "" when none
    // Sets NLI_BROADCAST_ADDRESS for this process to the broadcast endpoint.
    void exportBroadcastAddress() const;
    bool running() const;

    size_t moduleCount() const;
    std::optional<size_t> moduleIndex(const Mac& mac) const;
    Counters counters() const;
    void setFaults(size_t index, const Faults& faults);
    Json plantJson() const;                    // Plant::toJson under the lock
    void savePlant(const std::string& path) const; // Plant::saveFile under the lock

    // Runs fn with the plant locked (handlers do not run meanwhile).
    template <class F> auto withPlant(F&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn(plant_);
    }
    template <class F> auto withModule(size_t index, F&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn(plant_.modules.at(index));
    }

  private:
    struct Impl;
    Plant plant_;
    Options options_;
    mutable std::mutex mutex_;
    std::unique_ptr<Impl> impl_;
};

} // namespace nlisim
