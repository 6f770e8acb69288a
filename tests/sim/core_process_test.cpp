// labels: integration
// The tessan3-sim program: what it prints, that it serves what it printed, that SIGTERM and
// SIGINT stop it cleanly (saving the plant when asked), and how it refuses bad arguments.
#include "raw_client.h"

#include "nlisim/sim.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>

extern char** environ;

using namespace rawclient;
using nlisim::Json;
using nlisim::Plant;

namespace {

class Process {
  public:
    explicit Process(std::vector<std::string> args) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        args.insert(args.begin(), TESSAN3_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, TESSAN3_SIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << TESSAN3_SIM_PATH << ": " << std::strerror(rc);
            pid_ = -1;
        }
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Standard output up to and including the first line starting with `prefix`.
    std::vector<std::string> linesUntil(const std::string& prefix) {
        std::vector<std::string> lines;
        std::string line;
        while (readChar(out_, line)) {
            if (line.back() != '\n') continue;
            line.pop_back();
            lines.push_back(line);
            line.clear();
            if (lines.back().rfind(prefix, 0) == 0) return lines;
        }
        ADD_FAILURE() << "no line starting with \"" << prefix << "\" (got " << lines.size()
                      << " lines, stderr: " << readAll(err_) << ")";
        return lines;
    }

    // Sends `sig` (0: none) and waits for the exit; returns the exit status, -1 if it did not
    // exit normally.
    int finish(int sig = 0) {
        if (pid_ <= 0) return -1;
        if (sig) kill(pid_, sig);
        stderr_ = readAll(err_); // until the program closes it by exiting
        int status = 0;
        pid_t got = waitpid(pid_, &status, 0);
        pid_ = -1;
        if (got <= 0 || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
    const std::string& errors() const { return stderr_; }

  private:
    static bool readChar(int fd, std::string& into) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) != 1) return false;
        char c;
        if (read(fd, &c, 1) != 1) return false;
        into += c;
        return true;
    }
    static std::string readAll(int fd) {
        std::string text;
        while (readChar(fd, text)) {
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string stderr_;
};

nlisim::Endpoint endpointIn(const std::string& line) {
    std::smatch m;
    std::regex re(R"((\d+\.\d+\.\d+\.\d+):(\d+))");
    if (!std::regex_search(line, m, re)) return {};
    return nlisim::Endpoint{m[1], static_cast<uint16_t>(std::stoi(m[2]))};
}

std::string tempPath(const std::string& name) {
    std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    return dir + "/nlisim-process-" + std::to_string(getpid()) + "-" + name;
}

TEST(Program, DefaultPlantPrintsAndServesItsEndpointsAndStopsOnSigterm) {
    Process sim({});
    auto lines = sim.linesUntil("export NLI_BROADCAST_ADDRESS=");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "tessan3-sim: 7 modules");
    nlisim::Endpoint bc = endpointIn(lines[1]);
    EXPECT_EQ(lines[1], "broadcast " + bc.text());
    EXPECT_EQ(lines.back(), "export NLI_BROADCAST_ADDRESS=" + bc.text());
    std::set<uint16_t> printedPorts;
    std::regex moduleLine(R"(module (\d) (00:E0:62:10:00:0\d) 127\.0\.0\.1:(\d+) .*)");
    for (auto& l : lines) {
        std::smatch m;
        if (std::regex_match(l, m, moduleLine))
            printedPorts.insert(static_cast<uint16_t>(std::stoi(m[3])));
    }
    EXPECT_EQ(printedPorts.size(), 7u);

    Udp udp;
    udp.send(bc, build(1, {0x05}));
    std::set<uint16_t> answeredFrom;
    for (int k = 0; k < 7; ++k) {
        auto a = udp.receive();
        ASSERT_TRUE(a) << "only " << k << " answers";
        answeredFrom.insert(a->fromPort);
    }
    EXPECT_EQ(answeredFrom, printedPorts);
    EXPECT_EQ(sim.finish(SIGTERM), 0) << sim.errors();
}

TEST(Program, SigintSavesThePlantWhenAsked) {
    std::string in = tempPath("in.json");
    std::string out = tempPath("out.json");
    Plant::generate(4, 21).saveFile(in);
    {
        Process sim({"--plant", in, "--seed", "77", "--save", out});
        auto lines = sim.linesUntil("export ");
        ASSERT_FALSE(lines.empty());
        nlisim::Endpoint bc = endpointIn(lines[1]);
        Udp udp; // the program answers before it is stopped
        udp.send(bc, build(3, {0x00}, Plant::fromFile(in).modules[3].mac));
        auto a = udp.receive();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->sequence(), 3);
        EXPECT_EQ(sim.finish(SIGINT), 0) << sim.errors();
    }
    Plant saved = Plant::fromFile(out);
    Plant original = Plant::fromFile(in);
    EXPECT_EQ(saved.seed, 77u);
    original.seed = 77;
    EXPECT_EQ(saved.toJson(), original.toJson());
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(Program, LargePlantListIsAbbreviated) {
    Process sim({"--generate", "30", "--seed", "3"});
    auto lines = sim.linesUntil("export ");
    std::vector<std::string> modules;
    bool ellipsis = false;
    for (auto& l : lines) {
        if (l.rfind("module ", 0) == 0) modules.push_back(l.substr(0, l.find(' ', 7)));
        if (l == "... 15 more modules ...") ellipsis = true;
    }
    EXPECT_TRUE(ellipsis);
    std::vector<std::string> expected;
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 25, 26, 27, 28, 29})
        expected.push_back("module " + std::to_string(i));
    EXPECT_EQ(modules, expected);
    EXPECT_EQ(sim.finish(SIGTERM), 0) << sim.errors();
}

TEST(Program, SerialModuleOnAPseudoTerminal) {
    Process sim({"--serial", "2"});
    auto lines = sim.linesUntil("export NLI_COM1=");
    ASSERT_FALSE(lines.empty());
    std::string path = lines.back().substr(std::string("export NLI_COM1=").size());
    bool listed = false;
    for (auto& l : lines)
        listed |= l == "serial " + path + " (module 2)";
    EXPECT_TRUE(listed);
    Serial port(path);
    ASSERT_TRUE(port.ok());
    port.write(build(9, {0x05}));
    auto a = port.readPacket();
    ASSERT_TRUE(a);
    ASSERT_GE(a->size(), 17u);
    EXPECT_EQ((*a)[16], 0x03); // the demo plant's module 2 is 00:E0:62:10:00:03
    EXPECT_EQ(sim.finish(SIGTERM), 0) << sim.errors();
}

TEST(Program, RefusesBadArgumentsAndPlants) {
    std::string bad = tempPath("bad.json");
    std::ofstream(bad) << R"({"modules": [{"mac": "00:E0:62:00:00:01", "crc": "on"}]})";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string mentions;
    } cases[] = {
        {{"--frobnicate"}, 2, "unknown argument \"--frobnicate\""},
        {{"--port"}, 2, "--port needs a value"},
        {{"--port", "70000"}, 2, "--port needs a port"},
        {{"--generate", "x"}, 2, "--generate needs a count"},
        {{"--plant", bad, "--generate", "3"}, 2, "exclude each other"},
        {{"--plant", bad}, 1, bad + ": module 0 (00:E0:62:00:00:01): key \"crc\""},
        {{"--plant", tempPath("missing.json")}, 1, "cannot open"},
        {{"--serial", "99"}, 1, "serial module 99 does not exist"},
        {{"--bind", "not-an-address"}, 1, "not an IPv4 address"},
    };
    for (auto& c : cases) {
        std::string joined;
        for (auto& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        Process sim(c.args);
        EXPECT_EQ(sim.finish(), c.status);
        EXPECT_NE(sim.errors().find(c.mentions), std::string::npos) << sim.errors();
    }
    std::remove(bad.c_str());
}

} // namespace
