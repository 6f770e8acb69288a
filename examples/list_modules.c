/*
 * list_modules: finds every module on the UDP/IP network and prints one line per module:
 * its Ethernet address, the IP address and port it answered from, its module ID and name (read
 * from the module, addressed by its Ethernet address as the utility does), and whether it
 * reports that it has no IP address yet. Exit status 0 when the scan ran (even if nothing
 * answered).
 *
 * The broadcast goes to 255.255.255.255:28784 unless NLI_BROADCAST_ADDRESS names another
 * destination (a directed broadcast such as 192.168.1.255, or a simulator on loopback).
 */
#include <nli.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#define ROOM 500

static NLIDevice found[ROOM];

/* Module ID and name of one discovered module; "?" where the module did not answer. */
static void describe(NLITransport *transport, NLIDevice *device, char *id, size_t idRoom,
                     char *name, size_t nameRoom) {
    uint8_t buf[256];
    uint16_t size;
    int32_t rc;

    snprintf(id, idRoom, "?");
    snprintf(name, nameRoom, "?");
    /* Broadcast flag: the addressed header reaches the module whatever its IP settings. */
    rc = NLIOpenDevice(transport, device, NLI_INTERFACE_VERSION, 100, 3, 1);
    if (!NLI_FAILED(rc)) {
        size = 4;
        rc = NLIReadSetupData(device, DT_NODE_NUMBER, buf, &size);
        if (!NLI_FAILED(rc) && size >= 4)
            snprintf(id, idRoom, "%lu",
                     (unsigned long)buf[0] | ((unsigned long)buf[1] << 8) |
                         ((unsigned long)buf[2] << 16) | ((unsigned long)buf[3] << 24));
        size = sizeof buf - 1;
        rc = NLIReadSetupData(device, DT_NODE_NAME, buf, &size);
        if (!NLI_FAILED(rc)) {
            buf[size] = 0;
            snprintf(name, nameRoom, "%.60s", (const char *)buf);
        }
    }
    NLICloseDevice(device);
}

int main(void) {
    NLITransport transport;
    uint16_t count = ROOM;
    uint16_t listed;
    uint16_t k;
    int32_t rc;

    rc = NLIOpen(NLI_INTERFACE_VERSION);
    if (rc != 0) {
        fprintf(stderr, "list_modules: NLIOpen: %s (%d)\n", ResultCodeName(rc), (int)rc);
        return 1;
    }
    memset(&transport, 0, sizeof transport);
    transport.kind = TRANSPORT_WINSOCK;
    transport.protocol = PROTOCOL_UDPIP;
    rc = NLIOpenTransport(&transport, NLI_INTERFACE_VERSION, NULL);
    if (rc != 0) {
        fprintf(stderr, "list_modules: cannot open the UDP/IP transport: %s (%d)\n",
                ResultCodeName(rc), (int)rc);
        NLIClose();
        return 1;
    }

    memset(found, 0, sizeof found);
    rc = NLIQueryDevices(&transport, found, &count, NLI_INTERFACE_VERSION);
    if (NLI_FAILED(rc) && rc != NLIE_BUFFER_TOO_SMALL) {
        fprintf(stderr, "list_modules: discovery failed: %s (%d)\n", ResultCodeName(rc), (int)rc);
        NLICloseTransport(&transport);
        NLIClose();
        return 1;
    }

    listed = count < ROOM ? count : ROOM;
    for (k = 0; k < listed; ++k) {
        const NLIDevice* d = &found[k];
        struct sockaddr_in from;
        char ip[INET_ADDRSTRLEN] = "?";
        char endpoint[INET_ADDRSTRLEN + 8];
        char id[16], name[64];
        memcpy(&from, d->address, sizeof from);
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        snprintf(endpoint, sizeof endpoint, "%s:%u", ip, (unsigned)ntohs(from.sin_port));
        describe(&transport, &found[k], id, sizeof id, name, sizeof name);
        printf("%02X:%02X:%02X:%02X:%02X:%02X  %-21s  ID %-5s  %s%s\n", d->ethernetAddress[0],
               d->ethernetAddress[1], d->ethernetAddress[2], d->ethernetAddress[3],
               d->ethernetAddress[4], d->ethernetAddress[5], endpoint, id, name,
               d->ipNotSet == 1 ? "  (no IP address yet)" : "");
    }
    if (count > ROOM)
        fprintf(stderr, "list_modules: %u modules answered, only the first %u are listed\n",
                (unsigned)count, (unsigned)ROOM);
    printf("%u module%s found\n", (unsigned)count, count == 1 ? "" : "s");

    NLICloseTransport(&transport);
    NLIClose();
    return 0;
}
