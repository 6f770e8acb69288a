// The simulator's core: the endpoints, the one thread that serves them, request parsing and
// routing, and the reply path with its faults.
//
// Routing. The broadcast endpoint hands an addressed request (0x15 + Ethernet address after
// the header) to the module with that address and a plain one to every module. A module's own
// endpoint and the pseudo-terminal hand every request to that module, except an addressed one
// carrying another module's address, which is ignored. Every module answers from its own socket
// (or the pseudo-terminal) to the sender.
//
// Checks, in order: magic 4B 56 52 and at least one payload byte; the data length must equal
// the received length - 9, either as read or after unscrambling (modules that do not accept
// scrambled requests ignore them); a non-zero CRC field must be the CRC of bytes 9 onward.
// Anything else is ignored and counted.
//
// Unknown function codes are answered with status word 113 (NLIE_INVALID_REQUEST_INT), which is
// what a module's firmware reports for a request it does not implement; on a plain broadcast
// they are not answered, so that one stray broadcast does not draw an error from every module.
#include "nlisim/sim.h"

#include "crc16.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace nlisim {

namespace {

using Clock = std::chrono::steady_clock;

// The packet-scrambling key, the simulator's own copy of the one the library holds.
constexpr char kScrambleKey[] = "Veltrac NLI scramble key 3.0 - flash access for boot loader";
constexpr size_t kScrambleKeyLength = sizeof kScrambleKey - 1;
static_assert(kScrambleKeyLength == 59);

constexpr size_t kHeader = 9;
constexpr size_t kAddressed = 7;           // 0x15 + Ethernet address
constexpr size_t kMaxSerialPayload = 8192; // longer "lengths" on the serial link are noise
constexpr auto kSerialGap = std::chrono::milliseconds(1000); // a pause this long ends a packet
constexpr size_t kMaxSerialBacklog = 65536; // answers nobody reads are dropped beyond this
constexpr size_t kReceiveBurst = 64;        // datagrams taken from one socket per wake-up

void unscramble(uint8_t* bytes, size_t length) {
    for (size_t i = 5; i < length; ++i)
        bytes[i] ^= static_cast<uint8_t>(kScrambleKey[(i - 5) % kScrambleKeyLength]);
}

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool isDiscovery(const Bytes& payload) {
    return !payload.empty() &&
           (payload[0] == 0x05 || (payload[0] == 0x09 && payload.size() > 1 && payload[1] == 0));
}

// Where an answer goes: the module's socket and the sender's address, or the pseudo-terminal.
struct Dest {
    bool serial = false;
    int fd = -1;
    sockaddr_in to{};
};

struct Pending {
    size_t module = 0;
    Dest dest;
    Bytes packet;
};

} // namespace

struct Simulator::Impl {
    explicit Impl(Simulator& s) : sim(s) {}

    Simulator& sim;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool running = false;

    int wakeFd = -1;
    int broadcastFd = -1;
    std::vector<int> moduleFds;
    Endpoint broadcastEp;
    std::vector<Endpoint> moduleEps;

    int ptyMaster = -1;
    int ptySlave = -1; // held open so that the master never reports a hang-up between clients
    std::string ptyPath;
    Bytes serialIn;
    Clock::time_point serialLastByte{};
    Bytes serialOut;

    // Everything below is touched with the plant mutex held.
    Counters counters;
    std::multimap<Clock::time_point, Pending> timers; // equal times keep their order

    void open();
    void closeAll();
    void run();

    void receiveDatagrams(int fd, int viaModule);
    void receiveSerial();
    void flushSerial();
    void fireTimers();

    // Takes one packet as it came off the link: viaModule is the module whose endpoint or
    // pseudo-terminal it arrived on, or -1 for the broadcast endpoint.
    void handlePacket(const uint8_t* data, size_t length, int viaModule, bool serial,
                      const Dest& replyTemplate);
    void deliver(Module& m, const Bytes& packet, size_t payloadOffset, bool addressed,
                 bool scrambled, int viaModule, bool serial, const Dest& replyTemplate);

    void answer(Module& m, const Dest& dest, uint16_t sequence, bool discovery,
                const Bytes& payload, uint32_t delayMs);
    void emit(Module& m, const Dest& dest, const Bytes& packet);
    void transmit(const Dest& dest, const Bytes& packet);

    void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    class CoreReply final : public Reply {
      public:
        CoreReply(Impl& impl, Module& m, const Dest& dest, uint16_t sequence, bool discovery)
            : impl_(impl), module_(m), dest_(dest), sequence_(sequence), discovery_(discovery) {}
        void send(const Bytes& payload) override {
            impl_.answer(module_, dest_, sequence_, discovery_, payload, 0);
        }
        void sendAfter(uint32_t delayMs, const Bytes& payload) override {
            impl_.answer(module_, dest_, sequence_, discovery_, payload, delayMs);
        }

      private:
        Impl& impl_;
        Module& module_;
        Dest dest_;
        uint16_t sequence_;
        bool discovery_;
    };
};

void Simulator::Impl::log(const char* fmt, ...) {
    if (!sim.options_.verbose) return;
    char line[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::fprintf(stderr, "tessan3-sim: %s\n", line);
}

// ---------------------------------------------------------------------------------------------
// Endpoints

void Simulator::Impl::open() {
    const Options& o = sim.options_;
    in_addr bindIp{};
    if (inet_pton(AF_INET, o.bindAddress.c_str(), &bindIp) != 1)
        throw std::runtime_error("bind address \"" + o.bindAddress + "\" is not an IPv4 address");
    if (o.serial && o.serialModule >= sim.plant_.modules.size())
        throw std::runtime_error("serial module " + std::to_string(o.serialModule) +
                                 " does not exist (the plant has " +
                                 std::to_string(sim.plant_.modules.size()) + " modules)");

    // One socket per module: a large plant needs more descriptors than the usual soft limit.
    rlimit files{};
    rlim_t needed = static_cast<rlim_t>(sim.plant_.modules.size()) + 256;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < needed) {
        files.rlim_cur = std::min(needed, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
    }

    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throw std::runtime_error(errnoText("cannot create the wake-up event"));

    auto bound = [&](uint16_t port, const std::string& what, Endpoint& ep) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error(errnoText("cannot create the socket of " + what));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr = bindIp;
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::string text = errnoText("cannot bind " + what + " to " + o.bindAddress + ":" +
                                         std::to_string(port));
            ::close(fd);
            throw std::runtime_error(text);
        }
        ep.address = o.bindAddress;
        ep.port = ntohs(a.sin_port);
        return fd;
    };

    broadcastFd = bound(o.broadcastPort, "the broadcast endpoint", broadcastEp);
    // Room for bursts: a scan of a large plant sends requests faster than one wake-up reads.
    int room = 4 << 20;
    setsockopt(broadcastFd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);

    size_t n = sim.plant_.modules.size();
    moduleFds.assign(n, -1);
    moduleEps.assign(n, Endpoint{});
    for (size_t i = 0; i < n; ++i)
        moduleFds[i] = bound(0, "module " + std::to_string(i), moduleEps[i]);

    if (o.serial) {
        ptyMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ptyMaster < 0 || grantpt(ptyMaster) != 0 || unlockpt(ptyMaster) != 0)
            throw std::runtime_error(errnoText("cannot create a pseudo-terminal"));
        char name[128];
        if (ptsname_r(ptyMaster, name, sizeof name) != 0)
            throw std::runtime_error(errnoText("cannot name the pseudo-terminal"));
        ptyPath = name;
        ptySlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ptySlave < 0) throw std::runtime_error(errnoText("cannot open " + ptyPath));
        for (int fd : {ptySlave, ptyMaster}) {
            termios t{};
            if (tcgetattr(fd, &t) == 0) {
                cfmakeraw(&t);
                cfsetispeed(&t, B57600);
                cfsetospeed(&t, B57600);
                t.c_cflag |= CLOCAL | CREAD;
                tcsetattr(fd, TCSANOW, &t);
            }
        }
        int flags = fcntl(ptyMaster, F_GETFL);
        fcntl(ptyMaster, F_SETFL, flags | O_NONBLOCK);
    }
}

void Simulator::Impl::closeAll() {
    closeFd(wakeFd);
    closeFd(broadcastFd);
    for (int& fd : moduleFds)
        closeFd(fd);
    moduleFds.clear();
    closeFd(ptyMaster);
    closeFd(ptySlave);
    ptyPath.clear();
    serialIn.clear();
    serialOut.clear();
    timers.clear();
}

// ---------------------------------------------------------------------------------------------
// The thread

void Simulator::Impl::run() {
    std::vector<pollfd> fds;
    fds.push_back({wakeFd, POLLIN, 0});
    fds.push_back({broadcastFd, POLLIN, 0});
    for (int fd : moduleFds)
        fds.push_back({fd, POLLIN, 0});
    const size_t ptyIndex = fds.size();
    if (ptyMaster >= 0) fds.push_back({ptyMaster, POLLIN, 0});

    while (!stopping.load()) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(sim.mutex_);
            if (!timers.empty()) {
                auto wait = timers.begin()->first - Clock::now();
                // Rounded up, so that an answer is never sent early and the loop never spins.
                auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
                timeout = ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60000));
            }
        }
        if (ptyMaster >= 0)
            fds[ptyIndex].events = static_cast<short>(POLLIN | (serialOut.empty() ? 0 : POLLOUT));

        int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "tessan3-sim: poll failed: %s\n", std::strerror(errno));
            break;
        }
        if (ready > 0) {
            if (fds[0].revents) {
                uint64_t v;
                while (read(wakeFd, &v, sizeof v) > 0) {
                }
            }
            if (stopping.load()) break;
            if (fds[1].revents) receiveDatagrams(broadcastFd, -1);
            for (size_t i = 0; i < moduleFds.size(); ++i)
                if (fds[2 + i].revents) receiveDatagrams(moduleFds[i], static_cast<int>(i));
            if (ptyMaster >= 0 && fds[ptyIndex].revents) {
                if (fds[ptyIndex].revents & POLLOUT) flushSerial();
                if (fds[ptyIndex].revents & (POLLIN | POLLHUP | POLLERR)) receiveSerial();
            }
        }
        fireTimers();
    }
}

void Simulator::Impl::receiveDatagrams(int fd, int viaModule) {
    static thread_local uint8_t buffer[65536];
    for (size_t k = 0; k < kReceiveBurst; ++k) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // A pending socket error (ICMP) is cleared by reading it; nothing else to do.
                int err = 0;
                socklen_t el = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el);
            }
            return;
        }
        if (from.sin_family != AF_INET) continue;
        Dest dest;
        dest.to = from;
        std::lock_guard<std::mutex> lock(sim.mutex_);
        handlePacket(buffer, static_cast<size_t>(n), viaModule, false, dest);
    }
}

void Simulator::Impl::receiveSerial() {
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = read(ptyMaster, chunk, sizeof chunk);
        if (n <= 0) break;
        auto now = Clock::now();
        if (!serialIn.empty() && now - serialLastByte > kSerialGap) serialIn.clear();
        serialLastByte = now;
        serialIn.insert(serialIn.end(), chunk, chunk + n);
    }

    const uint16_t keyLength = static_cast<uint16_t>(static_cast<uint8_t>(kScrambleKey[2]) |
                                                     (static_cast<uint8_t>(kScrambleKey[3]) << 8));
    for (;;) {
        // Find the start of a packet.
        size_t start = 0;
        while (start < serialIn.size()) {
            size_t have = std::min<size_t>(3, serialIn.size() - start);
            if (std::memcmp(&serialIn[start], "KVR", have) == 0) break;
            ++start;
        }
        if (start > 0) {
            std::lock_guard<std::mutex> lock(sim.mutex_);
            ++counters.malformedIgnored;
            serialIn.erase(serialIn.begin(), serialIn.begin() + static_cast<long>(start));
        }
        if (serialIn.size() < kHeader) return;
        // The length field is read plainly first; a scrambled packet's length only makes sense
        // once unscrambled.
        size_t length = getU16(&serialIn[7]);
        if (length > kMaxSerialPayload) {
            size_t unscrambled = static_cast<uint16_t>(getU16(&serialIn[7]) ^ keyLength);
            if (unscrambled > kMaxSerialPayload) {
                std::lock_guard<std::mutex> lock(sim.mutex_);
                ++counters.malformedIgnored;
                serialIn.erase(serialIn.begin()); // not a header after all: look further on
                continue;
            }
            length = unscrambled;
        }
        if (serialIn.size() < kHeader + length) return;
        Bytes packet(serialIn.begin(), serialIn.begin() + static_cast<long>(kHeader + length));
        serialIn.erase(serialIn.begin(), serialIn.begin() + static_cast<long>(kHeader + length));
        Dest dest;
        dest.serial = true;
        std::lock_guard<std::mutex> lock(sim.mutex_);
        handlePacket(packet.data(), packet.size(), static_cast<int>(sim.options_.serialModule),
                     true, dest);
    }
}

void Simulator::Impl::flushSerial() {
    while (!serialOut.empty()) {
        ssize_t n = write(ptyMaster, serialOut.data(), serialOut.size());
        if (n <= 0) return; // full: POLLOUT brings us back
        serialOut.erase(serialOut.begin(), serialOut.begin() + n);
    }
}

void Simulator::Impl::fireTimers() {
    std::lock_guard<std::mutex> lock(sim.mutex_);
    auto now = Clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
        Pending p = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        if (p.module < sim.plant_.modules.size())
            emit(sim.plant_.modules[p.module], p.dest, p.packet);
    }
}

// ---------------------------------------------------------------------------------------------
// Requests

void Simulator::Impl::handlePacket(const uint8_t* data, size_t length, int viaModule, bool serial,
                                   const Dest& replyTemplate) {
    ++counters.packetsReceived;
    if (length < kHeader + 1 || data[0] != 0x4B || data[1] != 0x56 || data[2] != 0x52) {
        ++counters.malformedIgnored;
        log("ignored a packet of %zu bytes: no request header", length);
        return;
    }
    Bytes packet(data, data + length);
    bool scrambled = false;
    if (getU16(&packet[7]) != length - kHeader) {
        unscramble(packet.data(), packet.size());
        if (getU16(&packet[7]) != length - kHeader) {
            ++counters.malformedIgnored;
            log("ignored a packet of %zu bytes: its data length fits neither reading", length);
            return;
        }
        scrambled = true;
    }
    bool addressed = packet[kHeader] == 0x15;
    size_t payloadOffset = kHeader;
    Mac target{};
    if (addressed) {
        if (length < kHeader + kAddressed + 1) {
            ++counters.malformedIgnored;
            log("ignored an addressed packet of %zu bytes: no payload", length);
            return;
        }
        std::copy(packet.begin() + 10, packet.begin() + 16, target.begin());
        payloadOffset = kHeader + kAddressed;
    }

    auto& modules = sim.plant_.modules;
    if (viaModule < 0) {
        if (addressed) {
            Module* m = sim.plant_.find(target);
            if (!m) {
                ++counters.notForUs;
                log("ignored a request for %s: no such module", macToString(target).c_str());
                return;
            }
            deliver(*m, packet, payloadOffset, true, scrambled, viaModule, serial, replyTemplate);
        } else {
            for (Module& m : modules)
                deliver(m, packet, payloadOffset, false, scrambled, viaModule, serial,
                        replyTemplate);
        }
        return;
    }
    Module& m = modules.at(static_cast<size_t>(viaModule));
    if (addressed && target != m.mac) {
        ++counters.notForUs;
        log("module %d ignored a request addressed to %s", viaModule, macToString(target).c_str());
        return;
    }
    deliver(m, packet, payloadOffset, addressed, scrambled, viaModule, serial, replyTemplate);
}

void Simulator::Impl::deliver(Module& m, const Bytes& packet, size_t payloadOffset, bool addressed,
                              bool scrambled, int viaModule, bool serial,
                              const Dest& replyTemplate) {
    if (Clock::now() < m.offlineUntil) return;
    if (scrambled && !m.acceptScrambled) {
        ++counters.scrambledIgnored;
        log("module %zu ignored a scrambled request", m.index);
        return;
    }
    uint16_t crcField = getU16(&packet[5]);
    if (crcField != 0 && crcField != nli::crc16(&packet[kHeader], packet.size() - kHeader)) {
        ++counters.badCrcIgnored;
        ++m.badCrcIgnored;
        log("module %zu ignored a request with a wrong CRC", m.index);
        return;
    }

    ++counters.requestsReceived;
    ++m.requestsReceived;
    Request req;
    req.sequence = getU16(&packet[3]);
    req.payload.assign(packet.begin() + static_cast<long>(payloadOffset), packet.end());
    req.addressed = addressed;
    req.broadcast = viaModule < 0;
    req.serial = serial;
    req.scrambled = scrambled;
    req.plant = &sim.plant_;
    const uint8_t fn = req.functionCode();
    log("module %zu %s: function 0x%02X, sequence %u, %zu payload bytes%s%s%s", m.index,
        macToString(m.mac).c_str(), fn, req.sequence, req.payload.size(),
        req.broadcast ? ", broadcast" : "", addressed ? ", addressed" : "",
        scrambled ? ", scrambled" : "");

    if (m.faults.dropShare > 0.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(m.rng) < m.faults.dropShare) {
        ++counters.requestsDropped;
        ++m.requestsDropped;
        log("module %zu dropped it (fault)", m.index);
        return;
    }

    Dest dest = replyTemplate;
    if (!serial) dest.fd = moduleFds.at(m.index);
    CoreReply reply(*this, m, dest, req.sequence, isDiscovery(req.payload));
    const Handler* handler = findHandler(fn);
    if (!handler) {
        if (addressed || viaModule >= 0) reply.status(kStatusInvalidRequest);
        return;
    }
    try {
        (*handler)(m, req, reply);
    } catch (const std::exception& e) {
        // A feature choking on a plant value must not take the whole simulator down.
        std::fprintf(stderr, "tessan3-sim: module %zu, function 0x%02X: %s\n", m.index, fn,
                     e.what());
    }
}

// ---------------------------------------------------------------------------------------------
// Answers

void Simulator::Impl::answer(Module& m, const Dest& dest, uint16_t sequence, bool discovery,
                             const Bytes& payload, uint32_t delayMs) {
    if (m.faults.silent) return;
    if (payload.size() > 0xFFFF - kHeader) {
        std::fprintf(stderr, "tessan3-sim: module %zu: an answer of %zu bytes is too long\n",
                     m.index, payload.size());
        return;
    }
    Bytes packet(kHeader);
    packet[0] = m.faults.badMagic ? 0x6B : 0x4B;
    packet[1] = 0x56;
    packet[2] = discovery ? m.discoveryMagic : 0x52;
    packet[3] = static_cast<uint8_t>(sequence);
    packet[4] = static_cast<uint8_t>(sequence >> 8);
    packet.insert(packet.end(), payload.begin(), payload.end());
    if (discovery && m.faults.noSignature && packet.size() >= kHeader + 2 && packet[9] == 0x55 &&
        packet[10] == 0xAA)
        packet[9] = packet[10] = 0x00;
    uint16_t crc = 0;
    if (m.crc || m.faults.badChecksum) crc = nli::crc16(&packet[kHeader], packet.size() - kHeader);
    if (m.faults.badChecksum) crc = static_cast<uint16_t>(crc + 1 == 0x10000 ? 1 : crc + 1);
    packet[5] = static_cast<uint8_t>(crc);
    packet[6] = static_cast<uint8_t>(crc >> 8);
    packet[7] = static_cast<uint8_t>((packet.size() - kHeader));
    packet[8] = static_cast<uint8_t>((packet.size() - kHeader) >> 8);

    uint32_t delay = delayMs + m.faults.delayMs;
    if (delay == 0) {
        emit(m, dest, packet);
        return;
    }
    timers.emplace(Clock::now() + std::chrono::milliseconds(delay),
                   Pending{m.index, dest, std::move(packet)});
    if (wakeFd >= 0 && std::this_thread::get_id() != thread.get_id()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(wakeFd, &one, sizeof one);
    }
}

void Simulator::Impl::emit(Module& m, const Dest& dest, const Bytes& packet) {
    if (m.faults.silent) return;
    if (m.faults.lateOldSequence && !m.lastAnswer.empty()) {
        transmit(dest, m.lastAnswer);
        ++m.answersSent;
        ++counters.answersSent;
    }
    for (int k = 0; k < (m.faults.duplicate ? 2 : 1); ++k) {
        transmit(dest, packet);
        ++m.answersSent;
        ++counters.answersSent;
    }
    m.lastAnswer = packet;
}

void Simulator::Impl::transmit(const Dest& dest, const Bytes& packet) {
    if (dest.serial) {
        if (ptyMaster < 0) return;
        if (serialOut.size() + packet.size() > kMaxSerialBacklog) {
            log("serial answer dropped: nobody reads the pseudo-terminal");
            return;
        }
        serialOut.insert(serialOut.end(), packet.begin(), packet.end());
        flushSerial();
        return;
    }
    if (dest.fd < 0) return;
    // Loopback datagrams never block; a full receiver simply loses them, as on a real network.
    sendto(dest.fd, packet.data(), packet.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&dest.to), sizeof dest.to);
}

// ---------------------------------------------------------------------------------------------
// Simulator

Simulator::Simulator(Plant plant, Options options)
    : plant_(std::move(plant)), options_(std::move(options)), impl_(std::make_unique<Impl>(*this)) {
    plant_.reseed();
}

Simulator::~Simulator() {
    stop();
}

void Simulator::start() {
    if (impl_->running) return;
    try {
        impl_->open();
    } catch (...) {
        impl_->closeAll();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        impl_->counters = Counters{};
    }
    impl_->stopping = false;
    impl_->thread = std::thread([this] { impl_->run(); });
    impl_->running = true;
}

void Simulator::stop() {
    if (!impl_ || !impl_->running) return;
    impl_->stopping = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(impl_->wakeFd, &one, sizeof one);
    if (impl_->thread.joinable()) impl_->thread.join();
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->closeAll();
    impl_->running = false;
}

bool Simulator::running() const {
    return impl_->running;
}

Endpoint Simulator::broadcastEndpoint() const {
    if (!impl_->running) return Endpoint{options_.bindAddress, 0};
    return impl_->broadcastEp;
}

Endpoint Simulator::moduleEndpoint(size_t index) const {
    if (index >= plant_.modules.size())
        throw std::out_of_range("module " + std::to_string(index) + " does not exist");
    if (!impl_->running) return Endpoint{options_.bindAddress, 0};
    return impl_->moduleEps.at(index);
}

std::string Simulator::serialPath() const {
    return impl_->running ? impl_->ptyPath : "";
}

void Simulator::exportBroadcastAddress() const {
    setenv("NLI_BROADCAST_ADDRESS", broadcastEndpoint().text().c_str(), 1);
}

size_t Simulator::moduleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plant_.modules.size();
}

std::optional<size_t> Simulator::moduleIndex(const Mac& mac) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < plant_.modules.size(); ++i)
        if (plant_.modules[i].mac == mac) return i;
    return std::nullopt;
}

Counters Simulator::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->counters;
}

void Simulator::setFaults(size_t index, const Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    plant_.modules.at(index).faults = faults;
}

Json Simulator::plantJson() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plant_.toJson();
}

void Simulator::savePlant(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    plant_.saveFile(path);
}

} // namespace nlisim
