#include "detect/signature_tables.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace guestwise {
namespace {

// The table as "key=vendor;" in walk order (no key holds '=' or ';').
std::string walk(const SignatureTable& table) {
  std::string text;
  for (const auto& [key, vendor] : table) text += key + "=" + vendor + ";";
  return text;
}

// Every key and its vendor, in the order the probes walk them: byte order,
// capitals before small letters, a prefix before its extensions.
TEST(SignatureTables, HoldExactlyTheseEntriesInWalkOrder) {
  EXPECT_EQ(walk(VendorKeywordSignatures),
            "Hyper-V=Hyper-V;Parallels=Parallels;QEMU=QEMU;VBOX=VirtualBox;VMware=VMware;"
            "VirtualBox=VirtualBox;Xen=Xen;");
  EXPECT_EQ(walk(ManufacturerSignatures),
            "Amazon EC2=AWS;Google=Google Cloud;Microsoft Corporation=Hyper-V;"
            "Oracle Corporation=VirtualBox;Parallels Software=Parallels;QEMU=QEMU;VMware=VMware;"
            "VMware, Inc.=VMware;Xen=Xen;innotek GmbH=VirtualBox;");
  EXPECT_EQ(walk(ModelSignatures),
            "Bochs=Bochs;HVM domU=Xen;KVM=KVM;Parallels Virtual Platform=Parallels;"
            "Standard PC=QEMU;VMware Virtual Platform=VMware;VMware7,1=VMware;"
            "Virtual Machine=Hyper-V;VirtualBox=VirtualBox;");
  EXPECT_EQ(walk(MacPrefixSignatures),
            "00:05:69=VMware;00:0C:29=VMware;00:15:5D=Hyper-V;00:1C:42=Parallels;"
            "00:50:56=VMware;08:00:27=VirtualBox;0A:00:27=VirtualBox;52:54:00=QEMU;");
  EXPECT_EQ(walk(ProcessSignatures),
            "VBoxService.exe=VirtualBox;VBoxTray.exe=VirtualBox;prl_cc.exe=Parallels;"
            "prl_tools.exe=Parallels;qemu-ga.exe=QEMU;vmtoolsd.exe=VMware;"
            "vmwaretray.exe=VMware;vmwareuser.exe=VMware;");
  EXPECT_EQ(walk(DriverSignatures),
            "VBoxGuest.sys=VirtualBox;VBoxMouse.sys=VirtualBox;VBoxSF.sys=VirtualBox;"
            "VBoxVideo.sys=VirtualBox;prl_fs.sys=Parallels;prl_memdev.sys=Parallels;"
            "vmhgfs.sys=VMware;vmmouse.sys=VMware;vmrawdsk.sys=VMware;");
  EXPECT_EQ(walk(RegistrySignatures),
            "SOFTWARE\\Microsoft\\Virtual Machine\\Guest\\Parameters=Hyper-V;"
            "SOFTWARE\\Oracle\\VirtualBox Guest Additions=VirtualBox;"
            "SOFTWARE\\Parallels\\Parallels Tools=Parallels;"
            "SOFTWARE\\VMware, Inc.\\VMware Tools=VMware;"
            "SYSTEM\\CurrentControlSet\\Services\\VBoxGuest=VirtualBox;"
            "SYSTEM\\CurrentControlSet\\Services\\VBoxMouse=VirtualBox;"
            "SYSTEM\\CurrentControlSet\\Services\\vmhgfs=VMware;");
  EXPECT_EQ(
      walk(FileSignatures),
      "C:\\Program Files\\Oracle\\VirtualBox Guest Additions=VirtualBox;"
      "C:\\Program Files\\Parallels\\Parallels Tools=Parallels;"
      "C:\\Program Files\\VMware\\VMware Tools=VMware;"
      "C:\\Windows\\System32\\vm3dgl.dll=VMware;C:\\Windows\\System32\\vmGuestLib.dll=VMware;");
}

// The machines that the tests and the Windows runners dress: every registry
// key, process, driver and file that the probes look for is in one dressing
// at least, so that no probe broken on real Windows can pass unseen there.
TEST(SignatureTables, EveryTraceIsDressedOnTheTestMachines) {
  std::ifstream file(GUESTWISE_DRESSINGS);
  ASSERT_TRUE(file) << GUESTWISE_DRESSINGS;
  std::set<std::string> dressed;
  const auto dressings = nlohmann::ordered_json::parse(file).at("dressings");
  for (const auto& dressing : dressings) {
    for (const char* field : {"registry_keys", "processes", "files", "folders"}) {
      for (const auto& item : dressing.at(field)) dressed.insert(item.get<std::string>());
    }
  }
  for (const SignatureTable* table : {&RegistrySignatures, &ProcessSignatures, &FileSignatures}) {
    for (const auto& entry : *table) EXPECT_EQ(dressed.count(entry.first), 1u) << entry.first;
  }
  for (const auto& entry : DriverSignatures) {
    EXPECT_EQ(dressed.count("C:\\Windows\\System32\\drivers\\" + entry.first), 1u) << entry.first;
  }
}

}  // namespace
}  // namespace guestwise
