// A raw loopback UDP client and packet builder for the simulator's tests, written from the
// wire format alone (no library code), so that the simulator is checked against the format and
// not against another implementation of it.
#pragma once

#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace rawclient {

using nlisim::Bytes;
using nlisim::Mac;

// Liveness bound for waits: a working simulator answers within a few milliseconds; this only
// keeps a broken one from hanging the test.
constexpr int kWaitMs = 3000;

inline const char kKey[] = "Veltrac NLI scramble key 3.0 - flash access for boot loader";

inline uint16_t crc16(const uint8_t* p, size_t n) {
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i) {
        c = static_cast<uint16_t>(c ^ (p[i] << 8));
        for (int b = 0; b < 8; ++b)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
    }
    return c;
}

enum class Crc { Correct, Zero, Wrong };

struct RequestSpec {
    uint16_t sequence = 1;
    Bytes payload;
    std::optional<Mac> address; // the addressed form
    Crc crc = Crc::Correct;
    bool scramble = false;
};

inline Bytes build(const RequestSpec& r) {
    Bytes p{0x4B,
            0x56,
            0x52,
            static_cast<uint8_t>(r.sequence),
            static_cast<uint8_t>(r.sequence >> 8),
            0,
            0,
            0,
            0};
    if (r.address) {
        p.push_back(0x15);
        p.insert(p.end(), r.address->begin(), r.address->end());
    }
    p.insert(p.end(), r.payload.begin(), r.payload.end());
    size_t n = p.size() - 9;
    p[7] = static_cast<uint8_t>(n);
    p[8] = static_cast<uint8_t>(n >> 8);
    uint16_t c = crc16(p.data() + 9, n);
    if (r.crc == Crc::Zero) c = 0;
    if (r.crc == Crc::Wrong) c = static_cast<uint16_t>(c ^ 0x1234);
    p[5] = static_cast<uint8_t>(c);
    p[6] = static_cast<uint8_t>(c >> 8);
    if (r.scramble)
        for (size_t i = 5; i < p.size(); ++i)
            p[i] ^= static_cast<uint8_t>(kKey[(i - 5) % (sizeof kKey - 1)]);
    return p;
}

inline Bytes build(uint16_t sequence, Bytes payload, std::optional<Mac> address = {}) {
    RequestSpec r;
    r.sequence = sequence;
    r.payload = std::move(payload);
    r.address = address;
    return build(r);
}

struct Answer {
    Bytes bytes;
    uint16_t fromPort = 0;
    std::string fromAddress;

    uint16_t sequence() const { return nlisim::getU16(&bytes[3]); }
    uint16_t crcField() const { return nlisim::getU16(&bytes[5]); }
    uint16_t dataLength() const { return nlisim::getU16(&bytes[7]); }
    Bytes payload() const { return Bytes(bytes.begin() + 9, bytes.end()); }
    bool crcMatches() const { return crcField() == crc16(bytes.data() + 9, bytes.size() - 9); }
};

class Udp {
  public:
    Udp() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            ADD_FAILURE() << "cannot open the test's UDP socket: " << std::strerror(errno);
        // Room for a whole plant answering one discovery at once.
        int room = 8 << 20;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    ~Udp() {
        if (fd_ >= 0) close(fd_);
    }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    void send(const nlisim::Endpoint& to, const Bytes& packet) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to.port);
        inet_pton(AF_INET, to.address.c_str(), &a.sin_addr);
        ASSERT_EQ(
            sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(packet.size()));
    }

    std::optional<Answer> receive(int timeoutMs = kWaitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
        uint8_t buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        Answer a;
        a.bytes.assign(buf, buf + n);
        a.fromPort = ntohs(from.sin_port);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        a.fromAddress = text;
        return a;
    }

    // Every answer that is already queued (nothing is waited for).
    std::vector<Answer> drain() {
        std::vector<Answer> out;
        while (auto a = receive(0))
            out.push_back(std::move(*a));
        return out;
    }

    // Receives until an answer with `sequence` arrives; returns everything before it, and that
    // answer last. Fails the test when it does not come.
    std::vector<Answer> until(uint16_t sequence) {
        std::vector<Answer> out;
        while (auto a = receive()) {
            out.push_back(std::move(*a));
            if (out.back().bytes.size() >= 9 && out.back().sequence() == sequence) return out;
        }
        ADD_FAILURE() << "no answer with sequence " << sequence;
        return out;
    }

  private:
    int fd_ = -1;
};

// The slave side of the simulator's pseudo-terminal, as a serial client opens it.
class Serial {
  public:
    explicit Serial(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
            return;
        }
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Serial() {
        if (fd_ >= 0) close(fd_);
    }
    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;
    bool ok() const { return fd_ >= 0; }

    void write(const Bytes& b) {
        ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

    // Reads one packet: the 9-byte header, then the data length it states.
    std::optional<Bytes> readPacket() {
        Bytes head;
        if (!readExactly(head, 9)) return std::nullopt;
        Bytes rest;
        if (!readExactly(rest, nlisim::getU16(&head[7]))) return std::nullopt;
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }

    bool readExactly(Bytes& out, size_t n) {
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) != 1) return false;
            uint8_t buf[4096];
            ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) return false;
            out.insert(out.end(), buf, buf + got);
        }
        return true;
    }

    bool idle() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }

  private:
    int fd_ = -1;
};

} // namespace rawclient
