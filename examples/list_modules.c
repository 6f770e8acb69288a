/*
 * list_modules: finds every module on the UDP/IP network and prints one line per module:
 * its Ethernet address, the IP address and port it answered from, and whether it reports that
 * it has no IP address yet. Exit status 0 when the scan ran (even if nothing answered).
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
        memcpy(&from, d->address, sizeof from);
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        printf("%02X:%02X:%02X:%02X:%02X:%02X  %s:%u%s\n", d->ethernetAddress[0],
               d->ethernetAddress[1], d->ethernetAddress[2], d->ethernetAddress[3],
               d->ethernetAddress[4], d->ethernetAddress[5], ip, (unsigned)ntohs(from.sin_port),
               d->ipNotSet == 1 ? "  no IP address yet" : "");
    }
    if (count > ROOM)
        fprintf(stderr, "list_modules: %u modules answered, only the first %u are listed\n",
                (unsigned)count, (unsigned)ROOM);
    printf("%u module%s found\n", (unsigned)count, count == 1 ? "" : "s");

    NLICloseTransport(&transport);
    NLIClose();
    return 0;
}
