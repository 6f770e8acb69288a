// Test fixture: a simulated plant served in-process, a UDP transport aimed at it, a discovery,
// and devices opened on the discovered modules the way the application opens them.
//
//   class MyTest : public testsupport::SimFixture {};
//   TEST_F(MyTest, Reads) {
//       startGenerated(2);                      // or startJson(R"({"modules":[...]})")
//       NLIDevice* dev = openDevice(0);         // addressed form: 100 ms, 3 retries, broadcast 1
//       ASSERT_NE(dev, nullptr);
//       ... NLIReadDeviceDef(dev, buf, 42) ...
//       sim().withModule(0, [](nlisim::Module& m) { ... });
//   }
//
// Everything opened is closed again in TearDown (devices, transport, library, simulator).
#pragma once

#include "nli.h"
#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class SimFixture : public ::testing::Test {
  protected:
    static constexpr uint16_t kMaxFound = 256; // records filled; more answers are cut
    static constexpr uint32_t kQueryTimeoutMs = 100;

    // Starts the simulator on the plant, opens the library and a UDP transport aimed at the
    // simulator's broadcast endpoint, and runs one discovery (see found()).
    void start(nlisim::Plant plant, nlisim::Options options = {}) {
        sim_ = std::make_unique<nlisim::Simulator>(std::move(plant), options);
        sim_->start();
        sim_->exportBroadcastAddress();
        ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
        libraryOpen_ = true;
        std::memset(&transport_, 0, sizeof transport_);
        transport_.kind = TRANSPORT_WINSOCK;
        transport_.protocol = PROTOCOL_UDPIP;
        ASSERT_EQ(NLIOpenTransport(&transport_, NLI_INTERFACE_VERSION, nullptr), 0);
        transportOpen_ = true;
        savedQueryTimeout_ = NLISetQueryTimeout(kQueryTimeoutMs);
        queryTimeoutSet_ = true;
        discover();
    }
    void startJson(const std::string& json, nlisim::Options options = {}) {
        start(nlisim::Plant::fromJson(nlisim::Json::parse(json)), options);
    }
    void startGenerated(size_t count, uint64_t seed = 1, nlisim::Options options = {}) {
        start(nlisim::Plant::generate(count, seed), options);
    }

    // Runs a discovery into found(); returns the library's result (0x8004 with more than
    // kMaxFound modules, keeping the first kMaxFound). Called by start().
    int32_t discover() {
        std::memset(found_, 0, sizeof found_);
        foundCount_ = kMaxFound;
        int32_t rc = NLIQueryDevices(&transport_, found_, &foundCount_, NLI_INTERFACE_VERSION);
        if (rc == NLIE_BUFFER_TOO_SMALL && foundCount_ > kMaxFound)
            foundCount_ = kMaxFound;
        else if (rc != 0)
            foundCount_ = 0;
        return rc;
    }
    uint16_t foundCount() const { return foundCount_; }
    const NLIDevice& found(size_t k) const { return found_[k]; }

    nlisim::Mac moduleMac(size_t index) {
        return sim_->withModule(index, [](nlisim::Module& m) { return m.mac; });
    }

    // Opens module `index` as the application opens a network module: the discovery record
    // whose Ethernet address is the module's, opened with the addressed header and broadcast.
    // Returns null (and records a failure) when the module was not discovered or did not open.
    NLIDevice* openDevice(size_t index, uint16_t timeoutMs = 100, uint16_t retries = 3) {
        nlisim::Mac mac = moduleMac(index);
        for (uint16_t k = 0; k < foundCount_ && k < kMaxFound; ++k) {
            if (std::memcmp(found_[k].ethernetAddress, mac.data(), 6) != 0) continue;
            auto dev = std::make_unique<NLIDevice>(found_[k]);
            return keep(std::move(dev), timeoutMs, retries, 1);
        }
        ADD_FAILURE() << "module " << index << " (" << nlisim::macToString(mac)
                      << ") was not discovered";
        return nullptr;
    }

    // Opens module `index` directly on its own endpoint: no broadcast, plain 9-byte header.
    NLIDevice* openDirect(size_t index, uint16_t timeoutMs = 100, uint16_t retries = 3) {
        nlisim::Endpoint ep = sim_->moduleEndpoint(index);
        auto dev = std::make_unique<NLIDevice>();
        std::memset(dev.get(), 0, sizeof(NLIDevice));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(ep.port);
        if (inet_pton(AF_INET, ep.address.c_str(), &a.sin_addr) != 1) {
            ADD_FAILURE() << "module endpoint " << ep.text() << " is not an IPv4 address";
            return nullptr;
        }
        static_assert(sizeof a <= sizeof dev->address + 1, "sockaddr_in fits the address area");
        std::memcpy(dev->address, &a, sizeof a);
        nlisim::Mac mac = moduleMac(index);
        std::memcpy(dev->ethernetAddress, mac.data(), 6);
        return keep(std::move(dev), timeoutMs, retries, 0);
    }

    nlisim::Simulator& sim() { return *sim_; }
    NLITransport& transport() { return transport_; }

    void TearDown() override {
        for (auto& d : devices_)
            NLICloseDevice(d.get());
        devices_.clear();
        if (queryTimeoutSet_) NLISetQueryTimeout(savedQueryTimeout_);
        queryTimeoutSet_ = false;
        if (transportOpen_) NLICloseTransport(&transport_);
        transportOpen_ = false;
        if (libraryOpen_) NLIClose();
        libraryOpen_ = false;
        if (sim_) sim_->stop();
        sim_.reset();
    }

  private:
    NLIDevice* keep(std::unique_ptr<NLIDevice> dev, uint16_t timeoutMs, uint16_t retries,
                    uint32_t broadcast) {
        int32_t rc = NLIOpenDevice(&transport_, dev.get(), NLI_INTERFACE_VERSION, timeoutMs,
                                   retries, broadcast);
        devices_.push_back(std::move(dev)); // closed in TearDown even after a failed open
        if (rc != 0) {
            ADD_FAILURE() << "NLIOpenDevice returned " << rc;
            return nullptr;
        }
        return devices_.back().get();
    }

    std::unique_ptr<nlisim::Simulator> sim_;
    NLITransport transport_{};
    NLIDevice found_[kMaxFound]{};
    uint16_t foundCount_ = 0;
    std::vector<std::unique_ptr<NLIDevice>> devices_;
    uint32_t savedQueryTimeout_ = 0;
    bool libraryOpen_ = false;
    bool transportOpen_ = false;
    bool queryTimeoutSet_ = false;
};

} // namespace testsupport
