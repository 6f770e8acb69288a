// labels: integration
// Starting a program on a simulated PC-based controller module: how the command line is split
// into program name and arguments, the sizes that do not fit the request, and the answers.
#include "sim_fixture.h"

#include "../../sim/src/xplc.h"

#include <gtest/gtest.h>

#include <string>

using nlisim::Module;
using nlisim::XplcState;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:60:01", "family": 2, "name": "Controller", "xplc": {} },
    { "mac": "00:E0:62:00:60:02", "family": 2, "name": "Locked",
      "xplc": { "programs": [ "allowed.exe" ] } },
    { "mac": "00:E0:62:00:60:03", "family": 1, "name": "Comm" }
  ]
})";

class RunProgram : public testsupport::SimFixture {
  protected:
    void SetUp() override {
        startJson(kPlant);
        dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
    }
    size_t runs(size_t module = 0) {
        return sim().withModule(module, [](Module& m) { return m.feature<XplcState>().runs.size(); });
    }
    XplcState::Run lastRun(size_t module = 0) {
        return sim().withModule(module, [](Module& m) { return m.feature<XplcState>().runs.back(); });
    }
    NLIDevice* dev = nullptr;
};

TEST_F(RunProgram, SplitsTheCommandLine) {
    const std::string name64(64, 'n');
    const std::string args433(433, 'a');
    struct Case {
        std::string line, program, arguments;
    } cases[] = {
        {"  prog.exe  -a -b", "prog.exe", "-a -b"},
        {"prog.exe", "prog.exe", ""},
        {"run.exe \t\r\n  x y  ", "run.exe", "x y  "},
        {"a\tb c", "a\tb", "c"}, // only a space ends the name
        {"p.exe    ", "p.exe", ""},
        {name64 + " z", name64, "z"},
        {"big " + args433, "big", args433},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(XPLCRunProgram(dev, c.line.c_str()), 0) << c.line;
        XplcState::Run run = lastRun();
        EXPECT_EQ(run.program, c.program) << c.line;
        EXPECT_EQ(run.arguments, c.arguments) << c.line;
        EXPECT_EQ(run.requestSize, 67 + c.arguments.size()) << "header + 67 + arguments";
    }
}

TEST_F(RunProgram, RefusesWhatDoesNotFit) {
    struct Case {
        const char* what;
        std::string line;
        int32_t expected;
    } cases[] = {
        {"empty", "", -1},
        {"blank", "    ", -1},
        {"name of 65", std::string(65, 'n') + " x", NLIE_DATA_TOO_LARGE},
        {"arguments of 434", "p " + std::string(434, 'a'), NLIE_DATA_TOO_LARGE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(XPLCRunProgram(dev, c.line.c_str()), c.expected) << c.what;
    EXPECT_EQ(XPLCRunProgram(dev, nullptr), -1);
    EXPECT_EQ(XPLCRunProgram(nullptr, "prog.exe"), NLIE_INVALID_DEVICE);
    EXPECT_EQ(runs(), 0u) << "nothing was sent";
}

TEST_F(RunProgram, ModuleStatusIsTheResult) {
    NLIDevice* locked = openDirect(1);
    ASSERT_NE(locked, nullptr);
    EXPECT_EQ(XPLCRunProgram(locked, "allowed.exe now"), 0);
    EXPECT_EQ(XPLCRunProgram(locked, "other.exe"), 110);
    EXPECT_EQ(runs(1), 2u);
    NLIDevice* comm = openDevice(2);
    ASSERT_NE(comm, nullptr);
    EXPECT_EQ(XPLCRunProgram(comm, "prog.exe"), nlisim::kStatusInvalidRequest)
        << "not a controller module";
}

TEST_F(RunProgram, EngineFailureComesThrough) {
    dev->timeoutMs = 20;
    dev->retries = 0;
    sim().setFaults(0, nlisim::Faults{.silent = true});
    EXPECT_EQ(XPLCRunProgram(dev, "prog.exe"), NLIE_TIMEOUT);
}

} // namespace
