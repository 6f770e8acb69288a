// Serial link: a COM port in raw mode, packets framed by their own header (9 bytes, then the data
// length the header states). Reads and writes are bounded by poll() deadlines:
//   read:  100 ms per byte + 1000 ms in total, and at most 1000 ms between two bytes;
//   write: 100 ms per byte + 1000 ms in total.
#include "link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace nli {
namespace {

constexpr uint32_t kIntervalMs = 1000;
constexpr uint32_t kPerByteMs = 100;
constexpr uint32_t kConstantMs = 1000;

NLISerialAddress serialAddress(const NLIDevice* device) {
    NLISerialAddress a{};
    std::memcpy(&a, device->address, sizeof a);
    return a;
}

bool speedOf(uint32_t baud, speed_t* speed) {
    static constexpr struct {
        uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},
                   {150, B150},       {200, B200},       {300, B300},        {600, B600},
                   {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
                   {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
                   {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
                   {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            *speed = s.speed;
            return true;
        }
    return false;
}

// The record's framing (data bits 5..8; parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop bits
// 0 one, 1 one and a half, 2 two) applied to a raw line. False for values the line cannot take.
bool applyFraming(const NLISerialAddress& a, termios* tio) {
    speed_t speed;
    if (!speedOf(a.baudRate, &speed)) return false;
    cfmakeraw(tio);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    switch (a.dataBits) {
    case 5:
        tio->c_cflag |= CS5;
        break;
    case 6:
        tio->c_cflag |= CS6;
        break;
    case 7:
        tio->c_cflag |= CS7;
        break;
    case 8:
        tio->c_cflag |= CS8;
        break;
    default:
        return false;
    }
    switch (a.parity) {
    case 0:
        break;
    case 1:
        tio->c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio->c_cflag |= PARENB;
        break;
    case 3:
        tio->c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        tio->c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return false;
    }
    switch (a.stopBits) {
    case 0:
        break;
    case 1: // one and a half: what the line gives for two stop bits with five data bits
    case 2:
        tio->c_cflag |= CSTOPB;
        break;
    default:
        return false;
    }
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
    return true;
}

// Reads up to `count` bytes within the read time-outs. Returns 0 with *got set, or an errno.
int readWithTimeouts(int fd, uint8_t* into, size_t count, size_t* got) {
    *got = 0;
    const uint32_t start = clockMs();
    const uint64_t total = kPerByteMs * static_cast<uint64_t>(count) + kConstantMs;
    uint32_t lastByte = start;
    while (*got < count) {
        const uint32_t now = clockMs();
        uint64_t left = total > now - start ? total - (now - start) : 0;
        if (*got > 0) {
            uint64_t interval = kIntervalMs > now - lastByte ? kIntervalMs - (now - lastByte) : 0;
            if (interval < left) left = interval;
        }
        if (left == 0) break;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (ready == 0) break;
        ssize_t n = read(fd, into + *got, count - *got);
        if (n > 0) {
            *got += static_cast<size_t>(n);
            lastByte = clockMs();
        } else if (n == 0) {
            break; // end of file: nothing more will come
        } else if (errno != EAGAIN && errno != EINTR) {
            return errno;
        } else if ((p.revents & POLLIN) == 0) {
            break; // hang-up or error condition without data
        }
    }
    return 0;
}

// Reads and drops `count` bytes (a packet too large for the caller), so that the next read
// starts at the next packet. Returns 0 when all of them came, else 109 or an errno.
int32_t discard(int fd, size_t count) {
    uint8_t scratch[256];
    while (count > 0) {
        size_t chunk = count < sizeof scratch ? count : sizeof scratch;
        size_t got = 0;
        int err = readWithTimeouts(fd, scratch, chunk, &got);
        if (err != 0) return err;
        if (got < chunk) return NLIE_SIZE_ERROR;
        count -= chunk;
    }
    return 0;
}

} // namespace

int serialHandle(const NLIDevice* device) {
    intptr_t h = serialAddress(device).handle;
    return h < 0 || h > 0x7FFFFFFF ? -1 : static_cast<int>(h);
}

void setSerialHandle(NLIDevice* device, intptr_t handle) {
    NLISerialAddress a = serialAddress(device);
    a.handle = handle;
    std::memcpy(device->address, &a, sizeof a);
}

int32_t serialOpen(NLIDevice* device) {
    setSerialHandle(device, kNoHandle);
    const NLISerialAddress a = serialAddress(device);
    char scratch[32];
    const char* path = commPortPath(a.port, scratch, sizeof scratch);
    if (!path) return ENOENT;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // Kept in the record from here on, so that closing the device releases it after a failure.
    setSerialHandle(device, fd);
    if (ioctl(fd, TIOCEXCL) != 0) return errno;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return errno;
    if (!applyFraming(a, &tio)) return EINVAL;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
    tcflush(fd, TCIFLUSH); // bytes from before the open belong to nobody
    return NLIE_SUCCESS;
}

int32_t serialClose(NLIDevice* device) {
    int fd = serialHandle(device);
    if (fd < 0) return NLIE_SUCCESS;
    setSerialHandle(device, kNoHandle);
    return close(fd) == 0 ? NLIE_SUCCESS : errno;
}

int32_t serialSend(NLIDevice* device, const uint8_t* bytes, uint16_t length) {
    int fd = serialHandle(device);
    if (fd < 0) return NLIE_INVALID_DEVICE;
    const uint32_t start = clockMs();
    const uint32_t total = kPerByteMs * length + kConstantMs;
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = write(fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
        uint32_t elapsed = clockMs() - start;
        // A packet cut short never gets an answer; say so instead of waiting for one.
        if (elapsed >= total) return NLIE_TIMEOUT;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(total - elapsed)) < 0 && errno != EINTR) return errno;
    }
    return NLIE_SUCCESS;
}

int32_t serialReceive(NLIDevice* device, uint8_t* buffer, uint16_t* length) {
    int fd = serialHandle(device);
    if (fd < 0) return NLIE_INVALID_DEVICE;
    const uint16_t capacity = *length;
    *length = 0;

    uint8_t header[NLI_HEADER_LENGTH];
    size_t got = 0;
    int err = readWithTimeouts(fd, header, sizeof header, &got);
    if (err != 0) return err;
    if (got == 0) return NLIE_SUCCESS; // nothing arrived
    if (got < sizeof header) return NLIE_SIZE_ERROR;

    const uint16_t dataLength = getU16(header + 7);
    if (static_cast<size_t>(NLI_HEADER_LENGTH) + dataLength > capacity) {
        int32_t rc = discard(fd, dataLength);
        return rc != 0 ? rc : NLIE_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, header, sizeof header);
    err = readWithTimeouts(fd, buffer + NLI_HEADER_LENGTH, dataLength, &got);
    if (err != 0) return err;
    if (got < dataLength) return NLIE_SIZE_ERROR;
    *length = static_cast<uint16_t>(NLI_HEADER_LENGTH + dataLength);
    return NLIE_SUCCESS;
}

} // namespace nli
