// labels: unit
// The plant: Ethernet address texts, loading and refusing plant files, generated plants, the
// default plant, and saving a session's changes so that they survive a restart.
#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

using nlisim::Json;
using nlisim::Mac;
using nlisim::Module;
using nlisim::Plant;

namespace {

// A feature as the other engineers write them: state loaded from the module's doc, saved back.
struct Tally : nlisim::FeatureState {
    explicit Tally(Module& m) : owner(&m), value(m.doc.value("tally", 0)) {}
    void save(Json& doc) const override { doc["tally"] = value; }
    Module* owner;
    int value;
};

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
        pattern += "/nlisim-plant-XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : "";
        EXPECT_FALSE(path_.empty());
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string refusal(const std::string& json) {
    try {
        Plant::fromJson(Json::parse(json));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(Mac, TextForms) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {{"00:E0:62:11:22:33", true},  {"00-e0-62-11-22-33", true},
                 {"00 E0 62 11 22 3F", true},  {"00E062112233", true},
                 {"00:E0:62:11:22", false},    {"00:E0:62:11:22:33:44", false},
                 {"00:E0-62:11:22:33", false}, {"00:E0:62:11:22:3G", false},
                 {"0:E0:62:11:22:33", false},  {"", false},
                 {"00:E0:62:11:22:33 ", false}};
    for (const Case& c : cases) {
        Mac m{};
        EXPECT_EQ(nlisim::parseMac(c.text, m), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(m[0], 0x00) << c.text;
        }
    }
    Mac m{};
    ASSERT_TRUE(nlisim::parseMac("00-e0-62-0a-bc-ff", m));
    EXPECT_EQ(nlisim::macToString(m), "00:E0:62:0A:BC:FF");
}

TEST(PlantLoad, RefusesBadFilesNamingWhatIsWrong) {
    struct Case {
        const char* json;
        std::vector<const char*> mentions;
    } cases[] = {
        {R"([])", {"plant", "modules"}},
        {R"({"seed": 1})", {"\"modules\" is missing"}},
        {R"({"modules": {}})", {"\"modules\"", "array"}},
        {R"({"moduels": []})", {"unknown top-level key \"moduels\""}},
        {R"({"seed": -3, "modules": []})", {"\"seed\""}},
        {R"({"modules": [5]})", {"module 0", "object"}},
        {R"({"modules": [{"family": 1}]})", {"module 0", "\"mac\" is missing"}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01"}, {"mac": "zz"}]})",
         {"module 1 (zz)", "\"mac\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01"}, {"mac": "00-E0-62-00-00-01"}]})",
         {"module 1", "same Ethernet address as module 0"}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "family": 256}]})",
         {"module 0 (00:E0:62:00:00:01)", "\"family\"", "256"}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "platform": "Q2"}]})", {"\"platform\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "generation": 1.5}]})", {"\"generation\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "crc": "yes"}]})", {"\"crc\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "ipNotSet": 1}]})", {"\"ipNotSet\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "acceptScrambled": null}]})",
         {"\"acceptScrambled\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "name": 5}]})", {"\"name\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "discoveryMagic": "X"}]})",
         {"\"discoveryMagic\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "faults": true}]})", {"\"faults\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "faults": {"dorp": 1}}]})",
         {"module 0", "unknown fault \"dorp\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "faults": {"dropShare": 1.5}}]})",
         {"\"dropShare\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "faults": {"delayMs": -1}}]})",
         {"\"delayMs\""}},
        {R"({"modules": [{"mac": "00:E0:62:00:00:01", "faults": {"silent": "no"}}]})",
         {"\"silent\""}},
    };
    for (const Case& c : cases) {
        std::string why = refusal(c.json);
        for (const char* m : c.mentions)
            EXPECT_NE(why.find(m), std::string::npos) << c.json << "\n  gave: " << why;
    }
}

TEST(PlantLoad, DefaultsAndFeatureKeys) {
    Plant p = Plant::fromJson(Json::parse(R"({"modules": [
        {"mac": "00:E0:62:00:00:01", "setup": {"22": "abc"}, "tally": 3},
        {"mac": "00:E0:62:00:00:02", "family": 4, "platform": 10, "generation": 1,
         "name": "x", "crc": false, "ipNotSet": true, "acceptScrambled": false,
         "discoveryMagic": "A", "faults": {"dropShare": 0.25, "delayMs": 40, "duplicate": true,
         "lateOldSequence": true, "badChecksum": true, "badMagic": true, "noSignature": true,
         "silent": true}}]})"));
    ASSERT_EQ(p.modules.size(), 2u);
    EXPECT_EQ(p.seed, 1u);
    const Module& a = p.modules[0];
    EXPECT_EQ(a.family, 1);
    EXPECT_EQ(a.platform, 0);
    EXPECT_EQ(a.generation, 0);
    EXPECT_TRUE(a.crc);
    EXPECT_FALSE(a.ipNotSet);
    EXPECT_TRUE(a.acceptScrambled);
    EXPECT_EQ(a.discoveryMagic, 0x52);
    EXPECT_EQ(a.faults.dropShare, 0.0);
    // Only the feature keys stay in doc.
    EXPECT_EQ(a.doc, Json::parse(R"({"setup": {"22": "abc"}, "tally": 3})"));
    const Module& b = p.modules[1];
    EXPECT_EQ(b.family, 4);
    EXPECT_EQ(b.platform, 10);
    EXPECT_EQ(b.generation, 1);
    EXPECT_EQ(b.name, "x");
    EXPECT_FALSE(b.crc);
    EXPECT_TRUE(b.ipNotSet);
    EXPECT_FALSE(b.acceptScrambled);
    EXPECT_EQ(b.discoveryMagic, 0x41);
    EXPECT_EQ(b.faults.dropShare, 0.25);
    EXPECT_EQ(b.faults.delayMs, 40u);
    EXPECT_TRUE(b.faults.duplicate && b.faults.lateOldSequence && b.faults.badChecksum &&
                b.faults.badMagic && b.faults.noSignature && b.faults.silent);
    EXPECT_TRUE(b.doc.empty());
    EXPECT_EQ(b.index, 1u);
}

TEST(PlantLoad, FileErrorsNameThePath) {
    TempDir dir;
    std::string missing = dir.file("missing.json");
    std::string broken = dir.file("broken.json");
    std::string wrong = dir.file("wrong.json");
    writeFile(broken, "{\"modules\": [\n  {\"mac\": \"00:E0:62:00:00:01\",}\n]}");
    writeFile(wrong, R"({"modules": [{"mac": "00:E0:62:00:00:01", "family": "LCM"}]})");
    struct Case {
        std::string path;
        std::vector<std::string> mentions;
    } cases[] = {{missing, {missing, "cannot open"}},
                 {broken, {broken, "not valid JSON", "line 2"}},
                 {wrong, {wrong, "module 0", "\"family\""}}};
    for (const Case& c : cases) {
        try {
            Plant::fromFile(c.path);
            ADD_FAILURE() << c.path << " was accepted";
        } catch (const std::runtime_error& e) {
            for (const auto& m : c.mentions)
                EXPECT_NE(std::string(e.what()).find(m), std::string::npos) << e.what();
        }
    }
}

TEST(PlantSave, RoundTripKeepsIdentityFaultsFeatureKeysAndFeatureState) {
    TempDir dir;
    Plant p = Plant::fromJson(Json::parse(R"({"seed": 99, "modules": [
        {"mac": "00:E0:62:00:00:01", "name": "one", "other": [1, 2, {"x": "y"}]},
        {"mac": "00:E0:62:00:00:02", "family": 6, "crc": false, "discoveryMagic": "A",
         "faults": {"delayMs": 5, "badMagic": true}, "tally": 1}]})"));
    p.modules[1].feature<Tally>().value += 41;
    p.modules[0].ipNotSet = true;
    std::string path = dir.file("plant.json");
    p.saveFile(path);
    EXPECT_FALSE(std::ifstream(path + ".tmp").good());

    Plant q = Plant::fromFile(path);
    EXPECT_EQ(q.seed, 99u);
    ASSERT_EQ(q.modules.size(), 2u);
    EXPECT_EQ(q.modules[0].name, "one");
    EXPECT_TRUE(q.modules[0].ipNotSet);
    EXPECT_EQ(q.modules[0].doc["other"], Json::parse(R"([1, 2, {"x": "y"}])"));
    EXPECT_EQ(q.modules[1].family, 6);
    EXPECT_FALSE(q.modules[1].crc);
    EXPECT_EQ(q.modules[1].discoveryMagic, 0x41);
    EXPECT_EQ(q.modules[1].faults.delayMs, 5u);
    EXPECT_TRUE(q.modules[1].faults.badMagic);
    EXPECT_EQ(q.modules[1].feature<Tally>().value, 42);
    EXPECT_EQ(q.toJson(), p.toJson());
    // A module without faults writes none.
    EXPECT_FALSE(q.toJson()["modules"][0].contains("faults"));
}

TEST(PlantSave, SimulatorSavesTheSessionsChanges) {
    TempDir dir;
    std::string path = dir.file("session.json");
    {
        nlisim::Simulator sim(Plant::generate(3, 4));
        sim.start();
        sim.withModule(2, [](Module& m) { return m.feature<Tally>().value = 7; });
        nlisim::Faults f;
        f.duplicate = true;
        sim.setFaults(1, f);
        sim.savePlant(path);
        EXPECT_EQ(sim.plantJson()["modules"][2]["tally"], 7);
    }
    Plant q = Plant::fromFile(path);
    EXPECT_EQ(q.seed, 4u);
    EXPECT_EQ(q.modules[2].feature<Tally>().value, 7);
    EXPECT_TRUE(q.modules[1].faults.duplicate);
}

TEST(PlantSave, AFailedSaveLeavesTheOldFileWhole) {
    TempDir dir;
    Plant p = Plant::generate(2);
    std::string path = dir.file("plant.json");
    p.saveFile(path);
    std::string before = readFile(path);
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0700), 0);
    // The temporary file cannot be created: the target is untouched and the error names it.
    try {
        Plant::generate(5).saveFile(path);
        ADD_FAILURE() << "saving through a directory succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_THROW(p.saveFile(dir.file("no/such/dir/plant.json")), std::runtime_error);
    EXPECT_EQ(readFile(path), before);
}

TEST(PlantModules, CopiesCarryFeatureStateButNotFeatureObjects) {
    Plant p = Plant::generate(1);
    Module& original = p.modules[0];
    original.feature<Tally>().value = 5;
    Module copy = original;
    EXPECT_EQ(copy.feature<Tally>().value, 5);
    EXPECT_EQ(copy.feature<Tally>().owner, &copy); // its own feature, bound to the copy
    copy.feature<Tally>().value = 6;
    EXPECT_EQ(original.feature<Tally>().value, 5);

    // A growing vector moves its modules: each feature must then belong to the moved module.
    std::vector<Module> modules;
    for (int i = 0; i < 20; ++i) {
        modules.push_back(original);
        modules.back().feature<Tally>().value = i;
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(modules[i].feature<Tally>().value, i);
        EXPECT_EQ(modules[i].feature<Tally>().owner, &modules[i]);
    }
    Module assigned;
    assigned = modules[3];
    EXPECT_EQ(assigned.feature<Tally>().value, 3);
    assigned = std::move(modules[4]);
    EXPECT_EQ(assigned.feature<Tally>().value, 4);
    EXPECT_EQ(assigned.feature<Tally>().owner, &assigned);
}

TEST(PlantGenerate, ManyDistinctModulesOfEveryFamily) {
    Plant p = Plant::generate(600, 3);
    ASSERT_EQ(p.modules.size(), 600u);
    std::set<Mac> macs;
    std::set<int> families;
    std::set<int> platforms;
    for (size_t i = 0; i < p.modules.size(); ++i) {
        const Module& m = p.modules[i];
        EXPECT_EQ(m.mac[0], 0x00);
        EXPECT_EQ(m.mac[1], 0xE0);
        EXPECT_EQ(m.mac[2], 0x62);
        EXPECT_TRUE(m.doc.is_object() && m.doc.empty());
        EXPECT_EQ(m.index, i);
        macs.insert(m.mac);
        families.insert(m.family);
        if (m.family != 3) platforms.insert(m.platform);
    }
    EXPECT_EQ(macs.size(), 600u);
    EXPECT_EQ(families, (std::set<int>{0, 1, 2, 3, 4, 6, 7, 8}));
    EXPECT_EQ(platforms, (std::set<int>{0, 2, 3, 4, 10}));
    EXPECT_EQ(Plant::generate(600, 3).toJson(), p.toJson());
    EXPECT_NE(Plant::generate(600, 4).toJson(), p.toJson());
    // A generated plant survives a save and reload unchanged.
    EXPECT_EQ(Plant::fromJson(p.toJson()).toJson(), p.toJson());
}

TEST(PlantGenerate, ModuleGeneratorsFollowSeedAndIndex) {
    Plant a = Plant::generate(3, 10);
    Plant b = Plant::generate(3, 10);
    Plant c = Plant::generate(3, 11);
    EXPECT_EQ(a.modules[1].rng(), b.modules[1].rng());
    EXPECT_NE(a.modules[0].rng(), a.modules[1].rng());
    EXPECT_NE(a.modules[2].rng(), c.modules[2].rng());
    // reseed restarts every generator.
    Plant d = Plant::generate(3, 10);
    uint64_t first = d.modules[2].rng();
    d.reseed();
    EXPECT_EQ(d.modules[2].rng(), first);
}

TEST(PlantDemo, ShippedFileMatchesTheBuiltInPlant) {
    Plant shipped = Plant::fromFile(std::string(TESSAN_SOURCE_DIR) + "/sim/plants/demo.json");
    Plant builtIn = Plant::demo();
    EXPECT_EQ(shipped.toJson(), builtIn.toJson());
    std::set<int> families;
    bool someWithoutIp = false;
    for (const Module& m : builtIn.modules) {
        families.insert(m.family);
        someWithoutIp |= m.ipNotSet;
    }
    for (int f : {0, 1, 2, 4, 6})
        EXPECT_TRUE(families.count(f)) << "family " << f;
    EXPECT_TRUE(someWithoutIp);
}

} // namespace
