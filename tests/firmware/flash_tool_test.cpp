// labels: integration
// tessan3-flash as it is used: the built executable finds a module of an in-process simulator
// by discovery and programs an image built by tessan3-mkimage from objcopy's Intel HEX.
#include "flash_test_util.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

using namespace flashtest;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    Bytes b = fwtest::readFile(path);
    return std::string(b.begin(), b.end());
}

Outcome run(const fwtest::TempDir& dir, const std::string& command) {
    Outcome r;
    std::string errPath = dir / "stderr.txt";
    std::FILE* p = popen((command + " 2>" + errPath).c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot run " << command;
        return r;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = slurp(errPath);
    return r;
}

class FlashTool : public FlashFixture {
  protected:
    std::string endpoint() { return sim().broadcastEndpoint().text(); }
    std::string flash(const std::string& args) {
        return std::string(TESSAN3_FLASH) + " --broadcast " + endpoint() + " " + args;
    }
};

TEST_F(FlashTool, ProgramsAnImageBuiltFromObjcopyIntelHex) {
    if (std::string(TESSAN_OBJCOPY).empty()) GTEST_SKIP() << "no objcopy";
    startModules({segmentedModule("00:E0:62:11:22:33")});
    Bytes code = codeBytes(0x3000, 31);
    fwtest::writeFile(dir_ / "code.raw", code);
    Outcome hex =
        run(dir_, std::string(TESSAN_OBJCOPY) + " -I binary -O ihex --change-addresses 0xF0000 " +
                      (dir_ / "code.raw") + " " + (dir_ / "code.hex"));
    ASSERT_EQ(hex.status, 0) << hex.err;
    Outcome mk =
        run(dir_, std::string(TESSAN3_MKIMAGE) +
                      " --kind os-block --format 0 --platform 2 --family lcm --version 4.5.6 " +
                      (dir_ / "code.hex") + " -o " + (dir_ / "os.bin"));
    ASSERT_EQ(mk.status, 0) << mk.err;
    Expected e = loadExpected(dir_ / "os.bin");
    ASSERT_EQ(e.imageAddress, 0xF0000000u);

    Outcome r = run(dir_, flash("--trace \"00 E0 62 11 22 33\" " + (dir_ / "os.bin")));

    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("00:E0:62:11:22:33: result 0 (0x0) No Error in lower 12 bits"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Loaded: "), std::string::npos) << "the trace is on";
    // Not a terminal: one line per phase.
    for (const char* phase : {"entering the boot loader...\n", "erasing...\n", "writing...\n",
                              "verifying...\n", "restarting...\n", "confirming...\n"})
        EXPECT_NE(r.err.find(phase), std::string::npos) << phase << " in:\n" << r.err;
    Bytes flash = flashAt(0, 0xF0000000, e.imageLength);
    EXPECT_EQ(firstDifference(flash, e.buffer.data(), e.imageLength), -1);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0x3000), code);
    EXPECT_EQ(osVersion(0).text(), "4.5.6");
}

TEST_F(FlashTool, ReportsFailures) {
    startModules({segmentedModule("00:E0:62:11:22:33")});
    struct Case {
        const char* name;
        std::string args;
        int status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"missing file", "00:E0:62:11:22:33 " + (dir_ / "none.bin"), 1,
         "result 206 (0xCE) Open File Error", ""},
        {"no such module", "00:E0:62:99:99:99 " + (dir_ / "none.bin"), 1, "",
         "no module 00:E0:62:99:99:99 answered the discovery"},
        {"not an address", "00:E0:62 x.bin", 2, "", "not an Ethernet address"},
        {"no file", "00:E0:62:11:22:33", 2, "", "expected ETHERNET-ADDRESS and FILE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = run(dir_, flash(c.args));
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    Outcome bad =
        run(dir_, std::string(TESSAN3_FLASH) + " --broadcast 300.1.1.1 00:E0:62:11:22:33 x");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("not a broadcast address"), std::string::npos) << bad.err;
}

} // namespace
