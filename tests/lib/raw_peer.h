// Helpers of the library's own tests: a plain loopback UDP socket standing in for the far end,
// so that a test sees exactly the bytes the library sends and can answer with any bytes at all.
#pragma once

#include "nli.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace libtest {

using Bytes = std::vector<uint8_t>;

inline uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// CRC-16/XMODEM, written out here on purpose: the tests check the library's checksum against
// an independent bit-by-bit computation.
inline uint16_t crcBitwise(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// An answer packet as a module builds it: header with the given sequence, CRC (or 0), length.
inline Bytes answerPacket(uint16_t sequence, const Bytes& payload, bool withCrc = true) {
    Bytes p{
        0x4B, 0x56, 0x52, static_cast<uint8_t>(sequence), static_cast<uint8_t>(sequence >> 8), 0,
        0,    0,    0};
    p.insert(p.end(), payload.begin(), payload.end());
    uint16_t crc = withCrc ? crcBitwise(p.data() + 9, p.size() - 9) : 0;
    p[5] = static_cast<uint8_t>(crc);
    p[6] = static_cast<uint8_t>(crc >> 8);
    p[7] = static_cast<uint8_t>(payload.size());
    p[8] = static_cast<uint8_t>(payload.size() >> 8);
    return p;
}

inline std::string hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

struct Datagram {
    Bytes bytes;
    sockaddr_in from{};
    uint16_t sequence() const { return bytes.size() >= 5 ? u16(&bytes[3]) : 0; }
};

class RawPeer {
  public:
    RawPeer() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "cannot open the loopback peer socket";
        address_ = a;
        int room = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    ~RawPeer() {
        if (fd_ >= 0) close(fd_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    sockaddr_in address() const { return address_; }
    uint16_t port() const { return ntohs(address_.sin_port); }
    std::string text() const { return "127.0.0.1:" + std::to_string(port()); }
    int fd() const { return fd_; }

    // The next datagram within timeoutMs, or nothing.
    std::optional<Datagram> receive(int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        Datagram d;
        d.bytes.resize(65536);
        socklen_t len = sizeof d.from;
        ssize_t n = recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&d.from), &len);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        return d;
    }
    void sendTo(const sockaddr_in& to, const Bytes& bytes) {
        ssize_t n = sendto(fd_, bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to);
        EXPECT_EQ(n, static_cast<ssize_t>(bytes.size()));
    }
    // Everything queued right now.
    std::vector<Datagram> drain() {
        std::vector<Datagram> all;
        while (auto d = receive(0))
            all.push_back(std::move(*d));
        return all;
    }

  private:
    int fd_ = -1;
    sockaddr_in address_{};
};

// A module on its own loopback socket that answers every request from a script, on its own
// thread, and keeps the payload of each request it saw.
class ScriptedModule {
  public:
    // The whole answer packets for one request (none, one or more), sent as they stand.
    using Script = std::function<std::vector<Bytes>(uint16_t sequence, const Bytes& payload)>;

    explicit ScriptedModule(Script script = {}) : script_(std::move(script)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedModule() {
        stop_ = true;
        thread_.join();
    }
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    sockaddr_in address() const { return peer_.address(); }
    // Replaces the script; the next request is answered by the new one.
    void script(Script s) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(s);
    }
    // Request payloads (header stripped) in the order they came.
    std::vector<Bytes> payloads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return payloads_;
    }
    Bytes lastPayload() {
        std::lock_guard<std::mutex> lock(mutex_);
        return payloads_.empty() ? Bytes{} : payloads_.back();
    }

  private:
    void serve() {
        while (!stop_) {
            // A short wait, so that the destructor is not held up.
            auto q = peer_.receive(20);
            if (!q || q->bytes.size() < 9) continue;
            Bytes payload(q->bytes.begin() + 9, q->bytes.end());
            std::vector<Bytes> answers;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                payloads_.push_back(payload);
                if (script_) answers = script_(q->sequence(), payload);
            }
            for (const Bytes& a : answers)
                peer_.sendTo(q->from, a);
        }
    }

    RawPeer peer_;
    std::mutex mutex_;
    Script script_;
    std::vector<Bytes> payloads_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A script that gives answer payloads only: each becomes an answer packet with the request's
// sequence and a correct CRC; a truncate length other than 0 cuts every packet to that many bytes.
inline ScriptedModule::Script
answerPayloads(std::function<std::vector<Bytes>(const Bytes& payload)> answer,
               size_t truncate = 0) {
    return [answer = std::move(answer), truncate](uint16_t sequence, const Bytes& payload) {
        std::vector<Bytes> packets;
        for (const Bytes& a : answer(payload)) {
            packets.push_back(answerPacket(sequence, a));
            if (truncate != 0 && packets.back().size() > truncate) packets.back().resize(truncate);
        }
        return packets;
    };
}

inline void setUdpAddress(NLIDevice& device, const sockaddr_in& a) {
    std::memcpy(device.address, &a, sizeof a);
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A UDP/IP socket transport, opened.
class UdpTransport {
  public:
    explicit UdpTransport(void* bindAddress = nullptr) {
        std::memset(&t_, 0, sizeof t_);
        t_.kind = TRANSPORT_WINSOCK;
        t_.protocol = PROTOCOL_UDPIP;
        rc_ = NLIOpenTransport(&t_, NLI_INTERFACE_VERSION, bindAddress);
        EXPECT_EQ(rc_, 0) << "NLIOpenTransport";
    }
    ~UdpTransport() {
        if (rc_ == 0) NLICloseTransport(&t_);
    }
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;
    NLITransport* get() { return &t_; }

  private:
    NLITransport t_{};
    int32_t rc_ = -1;
};

// A device record closed again at the end of its scope.
class Device {
  public:
    Device() { std::memset(&d_, 0, sizeof d_); }
    ~Device() { NLICloseDevice(&d_); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    NLIDevice* get() { return &d_; }
    NLIDevice* operator->() { return &d_; }

    // Opens on the transport, aimed at `to` without broadcast (plain header, connected socket).
    int32_t openDirect(NLITransport* t, const sockaddr_in& to, uint16_t timeoutMs,
                       uint16_t retries) {
        setUdpAddress(d_, to);
        return NLIOpenDevice(t, &d_, NLI_INTERFACE_VERSION, timeoutMs, retries, 0);
    }

  private:
    NLIDevice d_{};
};

// Records what the asynchronous handler is given.
struct AsyncLog {
    static inline std::vector<Bytes> packets;
    static inline std::vector<NLIDevice*> devices;
    static int32_t handler(NLIDevice* device, const uint8_t* packet, uint32_t length) {
        devices.push_back(device);
        packets.emplace_back(packet, packet + length);
        return 0;
    }
    static void install() {
        packets.clear();
        devices.clear();
        NLISetAsyncHandler(&handler);
    }
    static void remove() { NLISetAsyncHandler(nullptr); }
};

} // namespace libtest
