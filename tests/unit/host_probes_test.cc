#include <gtest/gtest.h>

#include "detect/detector.h"
#include "detect/signature_tables.h"
#include "fake_host.h"
#include "report/json_report_writer.h"

namespace guestwise {
namespace {

using testing::FakeRow;
using testing::Probe;
using Lines = std::vector<std::string>;

Lines adapterLines(const std::string& mac, const std::string& name) {
  Probe p;
  p.detector.onNetworkAdapterRow(FakeRow({{L"MACAddress", mac}, {L"Name", name}}));
  return p.detector.evidence();
}

TEST(NetworkAdapterRow, PrefixMatchesInAnyCaseAndIsQuotedAsRead) {
  EXPECT_EQ(adapterLines("00:0C:29:aa:bb:cc", "Intel(R) PRO/1000"),
            (Lines{"VM MAC prefix on NIC: 00:0C:29 (Intel(R) PRO/1000)"}));
  EXPECT_EQ(adapterLines("00:0c:29:aa:bb:cc", "eth0"),
            (Lines{"VM MAC prefix on NIC: 00:0c:29 (eth0)"}));
  EXPECT_EQ(adapterLines("52:54:00:12:34:56", ""), (Lines{"VM MAC prefix on NIC: 52:54:00 ()"}));
  EXPECT_EQ(adapterLines("08:00:27", "x"), (Lines{"VM MAC prefix on NIC: 08:00:27 (x)"}));
}

TEST(NetworkAdapterRow, RowsWithoutAUsablePrefixAreSkipped) {
  EXPECT_TRUE(adapterLines("00-0C-29-AA-BB-CC", "eth0").empty());
  EXPECT_TRUE(adapterLines("00:0C:2", "eth0").empty());
  EXPECT_TRUE(adapterLines("", "eth0").empty());
  EXPECT_TRUE(adapterLines("AC:DE:48:00:11:22", "eth0").empty());
}

TEST(NetworkAdapterRow, HostAdaptersArePassedOverButAGuestsOwnCounts) {
  for (const char* name : {"VMware Network Adapter VMnet8", "vmnet1", "myVMNETx",
                           "VIRTUALBOX HOST-ONLY Ethernet Adapter", "vmware network adapter"}) {
    EXPECT_TRUE(adapterLines("00:50:56:c0:00:08", name).empty()) << name;
  }
  for (const char* name :
       {"Hyper-V Virtual Ethernet Adapter", "Hyper-V Virtual Ethernet Adapter #2",
        "HYPER-V VIRTUAL ETHERNET ADAPTER #3"}) {
    EXPECT_TRUE(adapterLines("00:15:5D:0C:01:02", name).empty()) << name;
  }
  EXPECT_EQ(adapterLines("00:15:5D:0C:01:02", "Microsoft Hyper-V Network Adapter"),
            (Lines{"VM MAC prefix on NIC: 00:15:5D (Microsoft Hyper-V Network Adapter)"}));
}

TEST(NetworkAdapterRow, EachAdapterCountsOnItsOwn) {
  Probe p;
  p.detector.onNetworkAdapterRow(FakeRow({{L"MACAddress", "00:50:56:01:02:03"}, {L"Name", "a"}}));
  p.detector.onNetworkAdapterRow(FakeRow({{L"MACAddress", "00:0C:29:01:02:03"}, {L"Name", "b"}}));
  EXPECT_EQ(p.detector.vendorScores(), (VendorScores{{"VMware", 40}}));
}

TEST(RunningProcesses, FoldedDeduplicatedWholeNamesInTableOrder) {
  Probe p;
  p.host.processes =
      Lines{"vmtoolsd.exe", "VBOXSERVICE.EXE", "vboxservice.exe", "VBoxService.exe",
            "explorer.exe", "vmtoolsd",        "myvmtoolsd.exe",  "VBoxTray.exe.bak"};
  p.detector.checkRunningProcesses();
  EXPECT_EQ(p.detector.evidence(),
            (Lines{"VM process detected: VBoxService.exe", "VM process detected: vmtoolsd.exe"}));
  EXPECT_EQ(p.detector.vendorScores(), (VendorScores{{"VMware", 20}, {"VirtualBox", 20}}));
}

TEST(RunningProcesses, SnapshotFailureAddsNothing) {
  Probe p;
  p.host.processes.reset();
  p.detector.checkRunningProcesses();
  EXPECT_TRUE(p.detector.evidence().empty());
  EXPECT_EQ(p.detector.totalScore(), 0);
}

TEST(TraceProbes, RegistryLinesInKeyOrderEachCounted) {
  Probe p;
  p.host.openableKeys = {"SYSTEM\\CurrentControlSet\\Services\\VBoxMouse",
                         "SYSTEM\\CurrentControlSet\\Services\\VBoxGuest",
                         "SOFTWARE\\VMware, Inc.\\VMware Tools", "SOFTWARE\\Unrelated"};
  p.detector.checkRegistryKeys();
  EXPECT_EQ(p.detector.evidence(),
            (Lines{"Registry key exists: HKLM\\SOFTWARE\\VMware, Inc.\\VMware Tools",
                   "Registry key exists: HKLM\\SYSTEM\\CurrentControlSet\\Services\\VBoxGuest",
                   "Registry key exists: HKLM\\SYSTEM\\CurrentControlSet\\Services\\VBoxMouse"}));
  EXPECT_EQ(p.detector.vendorScores(), (VendorScores{{"VMware", 20}, {"VirtualBox", 40}}));
}

TEST(TraceProbes, DriversAreLookedUpUnderTheWindowsDirectory) {
  Probe p;
  p.host.windowsDir = "D:\\WINNT";
  for (const auto& [driver, vendor] : DriverSignatures) {
    p.host.existingPaths.insert("D:\\WINNT\\System32\\drivers\\" + driver);
  }
  p.detector.checkGuestDrivers();
  ASSERT_EQ(p.detector.evidence().size(), 9u);
  EXPECT_EQ(p.detector.evidence().front(), "VM guest driver detected: VBoxGuest.sys");
  EXPECT_EQ(p.detector.evidence()[4], "VM guest driver detected: prl_fs.sys");
  EXPECT_EQ(p.detector.evidence().back(), "VM guest driver detected: vmrawdsk.sys");
  EXPECT_EQ(p.detector.vendorScores(),
            (VendorScores{{"Parallels", 30}, {"VMware", 45}, {"VirtualBox", 60}}));
}

TEST(TraceProbes, NoWindowsDirectoryMeansNoDriverLookups) {
  Probe p;
  p.host.windowsDir.reset();
  p.detector.checkGuestDrivers();
  EXPECT_TRUE(p.host.pathsAsked.empty());
  EXPECT_TRUE(p.detector.evidence().empty());
}

TEST(TraceProbes, FilesAreLookedUpAtTheirFixedPaths) {
  Probe p;
  p.host.windowsDir = "E:\\Windows";  // guest files stay on drive C:
  p.host.existingPaths = {"C:\\Program Files\\VMware\\VMware Tools",
                          "C:\\Windows\\System32\\vmGuestLib.dll",
                          "E:\\Windows\\System32\\vm3dgl.dll"};
  p.detector.checkGuestFiles();
  EXPECT_EQ(p.detector.evidence(),
            (Lines{"VM file/folder detected: C:\\Program Files\\VMware\\VMware Tools",
                   "VM file/folder detected: C:\\Windows\\System32\\vmGuestLib.dll"}));
  EXPECT_EQ(p.detector.totalScore(), 20);
}

TEST(Detect, RunsTheFiveQueriesInOrderEachOnItsOwnConnection) {
  Probe p;
  p.detector.detect();
  EXPECT_EQ(p.host.queriesRun,
            (std::vector<std::wstring>{
                L"SELECT Manufacturer, Model FROM Win32_ComputerSystem",
                L"SELECT Manufacturer, SerialNumber, Version FROM Win32_BIOS",
                L"SELECT Manufacturer, Product FROM Win32_BaseBoard",
                L"SELECT Model, Caption FROM Win32_DiskDrive",
                L"SELECT MACAddress, Name, NetConnectionStatus FROM Win32_NetworkAdapter WHERE "
                L"MACAddress IS NOT NULL AND NetConnectionStatus = 2"}));
  EXPECT_EQ(p.host.connectsMade, 5);
  EXPECT_EQ(p.host.connectionsOpen, 0);
}

TEST(Detect, WithoutWmiTheWarningComesFirstAndTheOtherProbesStillScore) {
  Probe p;
  p.host.wmiAvailable = false;
  p.host.rowsByClass[L"Win32_BIOS"] = {FakeRow({{L"Manufacturer", "VMware"}})};
  p.host.openableKeys = {"SOFTWARE\\VMware, Inc.\\VMware Tools"};
  p.host.processes = Lines{"vmtoolsd.exe"};
  const DetectionResult result = p.detector.detect();
  EXPECT_EQ(result.evidence,
            (Lines{"[Warning] WMI initialization failed",
                   "Registry key exists: HKLM\\SOFTWARE\\VMware, Inc.\\VMware Tools",
                   "VM process detected: vmtoolsd.exe"}));
  EXPECT_TRUE(p.host.queriesRun.empty());
  EXPECT_EQ(result.confidence, 40);
  EXPECT_EQ(result.vendor, "VMware");
  EXPECT_TRUE(result.isVirtualMachine);
}

TEST(Detect, VirtualBoxGuestReportByteForByte) {
  Probe p;
  p.host.rowsByClass[L"Win32_ComputerSystem"] = {
      FakeRow({{L"Manufacturer", "innotek GmbH"}, {L"Model", "VirtualBox"}})};
  p.host.rowsByClass[L"Win32_DiskDrive"] = {FakeRow({{L"Model", "VBOX HARDDISK"}})};
  p.host.openableKeys = {"SOFTWARE\\Oracle\\VirtualBox Guest Additions"};
  p.host.processes = Lines{"System", "VBoxService.exe", "explorer.exe"};
  p.host.existingPaths = {"C:\\Windows\\System32\\drivers\\VBoxGuest.sys",
                          "C:\\Program Files\\Oracle\\VirtualBox Guest Additions"};
  p.host.rowsByClass[L"Win32_NetworkAdapter"] = {FakeRow(
      {{L"MACAddress", "08:00:27:4F:2A:11"}, {L"Name", "Intel(R) PRO/1000 MT Desktop Adapter"}})};
  DetectionResult result = p.detector.detect();
  EXPECT_EQ(p.detector.totalScore(), 145);
  result.detectionTimeMs = 7;  // the one field that depends on the clock
  const std::string expected = R"json({
  "isVirtualMachine": true,
  "vendor": "VirtualBox",
  "confidence": 100,
  "evidence": [
    "Win32_ComputerSystem.Manufacturer = innotek GmbH",
    "Win32_ComputerSystem.Model = VirtualBox",
    "Win32_DiskDrive.Model = VBOX HARDDISK",
    "Registry key exists: HKLM\\SOFTWARE\\Oracle\\VirtualBox Guest Additions",
    "VM process detected: VBoxService.exe",
    "VM guest driver detected: VBoxGuest.sys",
    "VM MAC prefix on NIC: 08:00:27 (Intel(R) PRO/1000 MT Desktop Adapter)",
    "VM file/folder detected: C:\\Program Files\\Oracle\\VirtualBox Guest Additions"
  ],
  "detectionTimeMs": 7,
  "error": null
})json";
  EXPECT_EQ(JsonReportWriter::toJson(result.isVirtualMachine, result.vendor, result.confidence,
                                     result.evidence, result.detectionTimeMs, result.error),
            expected);
}

}  // namespace
}  // namespace guestwise
