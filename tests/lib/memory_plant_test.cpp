// labels: unit
// The plant-file side of the memory, mailbox, controller and panel features: what a session
// changed survives saving and loading the plant, and values that make no sense are refused with
// a reason.
#include "../../sim/src/mailbox.h"
#include "../../sim/src/memory.h"
#include "../../sim/src/xplc.h"
#include "../../sim/src/zt.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using nlisim::Bytes;
using nlisim::Json;
using nlisim::MemoryState;
using nlisim::Module;
using nlisim::PanelState;
using nlisim::Plant;
using nlisim::RemoteMaster;
using nlisim::XplcState;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:80:01", "family": 0,
      "memory": { "areas": [ { "type": 7, "name": "Data", "address": 256, "size": 64 } ],
                  "sharedRam": [ { "base": 2, "slot": 5, "size": 40000,
                                   "remoteMaster": { "busyPolls": 2, "commandErrors": { "9": 513 },
                                                     "fronts": "00:E0:62:00:80:02" } } ] } },
    { "mac": "00:E0:62:00:80:02", "family": 2, "xplc": { "programs": [ "a.exe" ] } },
    { "mac": "00:E0:62:00:80:03", "family": 6 }
  ]
})";

Plant reloaded(Plant& plant) {
    Json saved = plant.toJson();
    return Plant::fromJson(saved);
}

TEST(MemoryPlant, ChangesSurviveSaveAndLoad) {
    Plant plant = Plant::fromJson(Json::parse(kPlant));
    {
        MemoryState& s = plant.modules[0].feature<MemoryState>();
        s.findArea(7, 256)->bytes[10] = 0x42;
        s.findSharedRam(2, 5)->bytes[0x9000] = 0x99;
        RemoteMaster* master = RemoteMaster::at(plant.modules[0], 2, 5);
        ASSERT_NE(master, nullptr);
        master->areas.at(1)[3] = 0x33;
        XplcState& x = plant.modules[1].feature<XplcState>();
        x.lastRun = {"a.exe", "-q", 0};
        plant.modules[2].feature<PanelState>().programSpace = {1, 2, 3};
    }
    Plant again = reloaded(plant);
    MemoryState& s = again.modules[0].feature<MemoryState>();
    ASSERT_EQ(s.areas.size(), 1u);
    EXPECT_EQ(s.areas[0].name, "Data");
    EXPECT_EQ(s.areas[0].bytes.size(), 64u);
    EXPECT_EQ(s.areas[0].bytes[10], 0x42);
    ASSERT_NE(s.findSharedRam(2, 5), nullptr);
    EXPECT_EQ(s.findSharedRam(2, 5)->bytes.size(), 40000u);
    EXPECT_EQ(s.findSharedRam(2, 5)->bytes[0x9000], 0x99);
    RemoteMaster* master = RemoteMaster::at(again.modules[0], 2, 5);
    ASSERT_NE(master, nullptr);
    EXPECT_EQ(master->busyPolls, 2u);
    EXPECT_EQ(master->commandErrors.at(9), 513);
    ASSERT_TRUE(master->fronts.has_value());
    EXPECT_EQ(nlisim::macToString(*master->fronts), "00:E0:62:00:80:02");
    EXPECT_EQ(master->areas.at(1)[3], 0x33);
    EXPECT_EQ(master->areas.at(nlisim::mailbox::kTunnelArea).size(),
              nlisim::mailbox::kTunnelAreaSize);
    XplcState& x = again.modules[1].feature<XplcState>();
    EXPECT_TRUE(x.restricted);
    EXPECT_EQ(x.lastRun.program, "a.exe");
    EXPECT_EQ(x.lastRun.arguments, "-q");
    EXPECT_EQ(again.modules[2].feature<PanelState>().programSpace, (Bytes{1, 2, 3}));
}

TEST(MemoryPlant, DefaultsWithoutKeys) {
    Plant plant = Plant::fromJson(Json::parse(R"({ "modules": [
        { "mac": "00:E0:62:00:81:01", "family": 0 }, { "mac": "00:E0:62:00:81:02", "family": 1 } ] })"));
    MemoryState& base = plant.modules[0].feature<MemoryState>();
    EXPECT_EQ(base.areas.size(), 2u);
    EXPECT_NE(RemoteMaster::at(plant.modules[0], 0, 1), nullptr) << "a base controller's master";
    EXPECT_EQ(RemoteMaster::at(plant.modules[1], 0, 1), nullptr);
    Plant again = reloaded(plant);
    EXPECT_EQ(again.modules[0].feature<MemoryState>().areas[1].bytes[200], 200) << "ROM pattern";
}

TEST(MemoryPlant, RefusesNonsense) {
    const char* cases[] = {
        R"({ "memory": { "areas": [ { "type": 70000 } ] } })",
        R"({ "memory": { "areas": [ { "address": 4294967295, "size": 16 } ] } })",
        R"({ "memory": { "areas": [ { "size": 4, "contents": { "2": "01 02 03" } } ] } })",
        R"({ "memory": { "areas": [ { "contents": { "0": "0G" } } ] } })",
        R"({ "memory": { "sharedRam": [ { "slot": 1 }, { "slot": 1 } ] } })",
        R"({ "memory": { "sharedRam": [ { "remoteMaster": { "fronts": "nobody" } } ] } })",
        R"({ "memory": { "sharedRam": [ { "remoteMaster": { "commandErrors": { "x": 1 } } } ] } })",
        R"({ "memory": { "sharedRam": [ { "size": 4096, "remoteMaster": {} } ] } })",
        R"({ "xplc": { "programs": "a.exe" } })",
        R"({ "panel": { "programSpace": "123" } })",
    };
    for (const char* extra : cases) {
        Json doc = Json::parse(R"({ "modules": [ { "mac": "00:E0:62:00:82:01", "family": 6 } ] })");
        const Json keys = Json::parse(extra);
        const std::string key = keys.begin().key();
        doc["modules"][0][key] = keys.begin().value();
        Plant plant = Plant::fromJson(doc);
        Module& m = plant.modules[0];
        try {
            if (key == "memory") m.feature<MemoryState>();
            if (key == "xplc") m.feature<XplcState>();
            if (key == "panel") m.feature<PanelState>();
            ADD_FAILURE() << "accepted: " << extra;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
        }
    }
}

} // namespace
