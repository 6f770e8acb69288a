// tessan3-flash: downloads a firmware image file into one module found by discovery, as the
// application's update commands do, and reports the result.
#include "firmware/download.h"
#include "firmware/trace.h"

#include <nli.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 1; // the module was not found or the download failed
constexpr int kExitUsage = 2;   // the command line is wrong

constexpr uint16_t kMaxModules = 500;      // room the application's scan gives a discovery
constexpr uint16_t kDeviceTimeoutMs = 100; // how the application opens a network module
constexpr uint16_t kDeviceRetries = 3;
constexpr int kBarWidth = 40;

const char* const kUsage =
    R"(Usage: tessan3-flash [--broadcast a.b.c.d[:port]] [--trace] ETHERNET-ADDRESS FILE

Downloads the firmware or boot-loader image FILE (.bin) into the module with the Ethernet
address ETHERNET-ADDRESS (00:E0:62:11:22:33, or "00 E0 62 11 22 33" as the module list shows
it), found by a discovery over UDP/IP.

  --broadcast ADDR   send the discovery and the requests to ADDR (a.b.c.d or a.b.c.d:port)
                     instead of 255.255.255.255:28784 (also NLI_BROADCAST_ADDRESS)
  --trace            print the download's diagnostic trace on standard output
  -h, --help         show this text

Progress goes to standard error; the result and its text to standard output.
Exit status: 0 the image was written and confirmed, 1 the module was not found or the
download failed, 2 wrong usage.
)";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Six pairs of hex digits separated by ':', '-' or spaces (one kind throughout), or none.
bool parseEthernetAddress(const std::string& text, uint8_t out[6]) {
    size_t pos = 0;
    char separator = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && pos < text.size() &&
            (text[pos] == ':' || text[pos] == '-' || text[pos] == ' ')) {
            if (i == 1)
                separator = text[pos];
            else if (text[pos] != separator)
                return false;
            while (pos < text.size() && text[pos] == separator)
                ++pos;
        } else if (i > 0 && separator != 0) {
            return false;
        }
        if (pos + 2 > text.size()) return false;
        int hi = hexDigit(text[pos]), lo = hexDigit(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
        pos += 2;
    }
    return pos == text.size();
}

std::string addressText(const uint8_t a[6]) {
    char t[18];
    std::snprintf(t, sizeof t, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return t;
}

// The progress line: a bar updated in place on a terminal, one line per phase otherwise.
class ProgressLine : public firmware::DownloadObserver {
  public:
    ProgressLine() : terminal_(isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() override { finish(); }

    void progress(firmware::DownloadPhase phase, uint32_t done, uint32_t total) override {
        // Writing and verifying alternate chunk by chunk: one bar, one line each.
        bool bytes = phase == firmware::DownloadPhase::Writing ||
                     phase == firmware::DownloadPhase::Verifying;
        if (!terminal_) {
            size_t k = static_cast<size_t>(phase);
            if (k < std::size(printed_) && !printed_[k]) {
                printed_[k] = true;
                std::fprintf(stderr, "%s...\n", firmware::DownloadPhaseName(phase));
            }
            return;
        }
        int percent = bytes && total > 0 ? static_cast<int>(100ull * done / total) : -1;
        const char* label = bytes ? "writing and verifying" : firmware::DownloadPhaseName(phase);
        if (label == label_ && percent == percent_) return;
        if (percent >= 0) {
            int filled = percent * kBarWidth / 100;
            std::fprintf(stderr, "\r[%.*s%.*s] %3d%% %-26s", filled,
                         "########################################", kBarWidth - filled,
                         "........................................", percent, label);
        } else {
            std::fprintf(stderr, "\r%-*s %-26s", kBarWidth + 7, "", label);
        }
        std::fflush(stderr);
        open_ = true;
        label_ = label;
        percent_ = percent;
    }

    void finish() {
        if (open_) std::fputc('\n', stderr);
        open_ = false;
    }

  private:
    bool terminal_;
    bool open_ = false;
    bool printed_[6] = {};
    const char* label_ = nullptr;
    int percent_ = -1;
};

int usage(const char* message) {
    if (message) std::fprintf(stderr, "tessan3-flash: %s\n", message);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// Everything opened, closed again whatever happens.
struct Session {
    bool library = false;
    NLITransport transport{};
    bool transportOpen = false;
    NLIDevice device{};
    bool deviceOpen = false;
    ~Session() {
        if (deviceOpen) NLICloseDevice(&device);
        if (transportOpen) NLICloseTransport(&transport);
        if (library) NLIClose();
    }
};

int failure(const char* what, int32_t rc) {
    std::fprintf(stderr, "tessan3-flash: %s: %d (0x%X) %s\n", what, static_cast<int>(rc),
                 static_cast<unsigned>(rc), ResultCodeName(rc));
    return kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    std::string broadcast;
    bool trace = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--broadcast" || a.rfind("--broadcast=", 0) == 0) {
            if (a == "--broadcast") {
                if (++i >= argc) return usage("--broadcast needs an address");
                broadcast = argv[i];
            } else {
                broadcast = a.substr(std::strlen("--broadcast="));
            }
        } else if (a == "--") {
            for (++i; i < argc; ++i)
                operands.push_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            return usage(("unknown option " + a).c_str());
        } else {
            operands.push_back(a);
        }
    }
    if (operands.size() != 2) return usage("expected ETHERNET-ADDRESS and FILE");
    uint8_t wanted[6];
    if (!parseEthernetAddress(operands[0], wanted))
        return usage(("not an Ethernet address: " + operands[0]).c_str());
    const std::string& path = operands[1];

    Session s;
    int32_t rc = NLIOpen(NLI_INTERFACE_VERSION);
    if (rc != 0) return failure("the library cannot be opened", rc);
    s.library = true;
    if (!broadcast.empty() && NLISetBroadcastAddress(broadcast.c_str()) != 0)
        return usage(("not a broadcast address: " + broadcast).c_str());
    s.transport.kind = TRANSPORT_WINSOCK;
    s.transport.protocol = PROTOCOL_UDPIP;
    rc = NLIOpenTransport(&s.transport, NLI_INTERFACE_VERSION, nullptr);
    if (rc != 0) return failure("the UDP/IP transport cannot be opened", rc);
    s.transportOpen = true;

    std::vector<NLIDevice> found(kMaxModules);
    uint16_t count = kMaxModules;
    rc = NLIQueryDevices(&s.transport, found.data(), &count, NLI_INTERFACE_VERSION);
    if (NLI_FAILED(rc) && rc != NLIE_BUFFER_TOO_SMALL) return failure("discovery failed", rc);
    const NLIDevice* match = nullptr;
    for (uint16_t k = 0; k < count && k < kMaxModules; ++k)
        if (std::memcmp(found[k].ethernetAddress, wanted, 6) == 0) match = &found[k];
    if (!match) {
        std::fprintf(stderr, "tessan3-flash: no module %s answered the discovery (%u found)\n",
                     addressText(wanted).c_str(), static_cast<unsigned>(count));
        return kExitFailure;
    }
    s.device = *match;
    rc = NLIOpenDevice(&s.transport, &s.device, NLI_INTERFACE_VERSION, kDeviceTimeoutMs,
                       kDeviceRetries, 1);
    s.deviceOpen = true; // closed again even after a failed open
    if (rc != 0) return failure("the module cannot be opened", rc);

    if (trace) firmware::SetFirmwareTrace(true);
    int32_t result;
    {
        ProgressLine progress;
        result = firmware::DownloadBinFile(&s.device, path, &progress);
    }
    if (trace) std::fputc('\n', stdout);
    std::printf("%s: result %d (0x%X) %s\n", addressText(wanted).c_str(), static_cast<int>(result),
                static_cast<unsigned>(result), ResultCodeName(result));
    return result == 0 ? 0 : kExitFailure;
}
