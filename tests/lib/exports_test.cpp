// labels: unit
// The shared library exports exactly its documented calls, with C linkage, and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExpected = {
    // transports, devices, engine, discovery, result codes
    "NLIOpen", "NLIClose", "NLIOpenTransport", "NLICloseTransport", "NLIOpenDevice",
    "NLICloseDevice", "_SendPacket", "GetResponse", "NLIGetResponse", "SendPacketTwoResponses",
    "SetCRCMode", "NLISetAsyncHandler", "NLIGetAsyncHandler", "NLIQueryDevices",
    "NLIQueryDeviceData", "NLISetQueryTimeout", "NLIGetQueryTimeout", "ResultCodeName",
    // module information and setup data
    "NLIReadVersionInfo", "NLIReadSupportInfo", "NLIReadDeviceDef", "NLIEnumSetupData",
    "NLIReadSetupData", "NLIWriteSetupData", "NLIDeleteSetupData", "NLIReadEthernetStats",
    "NLIPetDevice", "NLIReadModuleStatus", "NLISetOSLoad", "XPLCSetOSLoad", "NLIReboot",
    "XPLCReboot", "NLIReadConfigData", "NLIWriteConfigData",
    // base definition and I/O
    "NLIReadBaseDef", "NLIRescanBase", "NLIInitBaseDef", "NLIWriteBaseDef", "NLIReadIO",
    "NLIWriteIO", "NLIWriteIONoRead",
    // memory and shared RAM
    "NLIReadMemory", "NLIWriteMemory", "NLIENumMemory", "NLIAccessMemory", "NLIReadSharedRAM",
    "NLIWriteSharedRAM",
    // serial pass-through and PLC requests
    "NLICCMRequest", "NLIKSEQRequest", "NLIWriteComm", "NLIWriteCommEx", "NLIReadComm",
    "NLIReadCommEx", "NLIGetRXAvailable", "NLIGetRXAvailableEx", "NLIGetTXLeft", "NLIGetTXLeftEx",
    "NLIFlushRXQueue", "NLIFlushRXQueueEx", "NLIFlushTXQueueEx", "NLIAccessComm",
    "NLISetupSerialPort", "NLISetupSerialPortEx", "NLIReadSerialPortSetup",
    "NLIReadSerialPortSetupEx",
    // remote master, controller module, panel adapter
    "NLIWriteMTRData", "NLIReadMTRData", "NLIDoMTRCommand", "NLIDoMTRCommandEx",
    "XPLCWriteMTRData", "XPLCReadMTRData", "XPLCDoMTRCommand", "XPLCDoMTRCommandEx",
    "XPLCRunProgram", "ZTGetNodeList", "ZTSendPacket", "NLIWriteZTethernetPgmSpace",
    // Linux extensions: the broadcast destination and the COM port devices
    "NLISetBroadcastAddress", "NLISetCommPortPath",
};

std::set<std::string> exportedSymbols(const std::string& library) {
    std::set<std::string> names;
    std::string cmd = "nm -D --defined-only '" + library + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return names;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::istringstream in(line);
        std::string addr, type, name;
        if (!(in >> addr >> type >> name)) continue;
        // Text, data and BSS symbols the library defines; "w"/"v"/"U" are not its own.
        if (type == "T" || type == "D" || type == "B" || type == "R" || type == "i")
            names.insert(name);
    }
    pclose(p);
    return names;
}

} // namespace

TEST(Exports, ExactlyTheDocumentedCalls) {
    ASSERT_EQ(kExpected.size(), 76u + 1u + 2u); // the calls, ResultCodeName, two extensions
    std::set<std::string> actual = exportedSymbols(NLI_LIBRARY_PATH);
    ASSERT_FALSE(actual.empty()) << "nm found no symbols in " << NLI_LIBRARY_PATH;
    for (const auto& name : kExpected)
        EXPECT_TRUE(actual.count(name)) << "not exported: " << name;
    for (const auto& name : actual)
        EXPECT_TRUE(kExpected.count(name)) << "exported but not part of the interface: " << name;
}
