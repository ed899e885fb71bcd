#include "detect/signature_tables.h"

#include <gtest/gtest.h>

#include <vector>

namespace guestwise {
namespace {

std::vector<std::string> keys(const SignatureTable& table) {
  std::vector<std::string> result;
  for (const auto& entry : table) result.push_back(entry.first);
  return result;
}

TEST(SignatureTables, Sizes) {
  EXPECT_EQ(VendorKeywordSignatures.size(), 7u);
  EXPECT_EQ(ManufacturerSignatures.size(), 10u);
  EXPECT_EQ(ModelSignatures.size(), 9u);
  EXPECT_EQ(MacPrefixSignatures.size(), 8u);
  EXPECT_EQ(ProcessSignatures.size(), 8u);
  EXPECT_EQ(DriverSignatures.size(), 9u);
  EXPECT_EQ(RegistrySignatures.size(), 7u);
  EXPECT_EQ(FileSignatures.size(), 5u);
}

TEST(SignatureTables, WalkOrderIsByteOrder) {
  EXPECT_EQ(keys(DriverSignatures).front(), "VBoxGuest.sys");
  EXPECT_EQ(keys(DriverSignatures)[4], "prl_fs.sys");
  EXPECT_EQ(keys(DriverSignatures).back(), "vmrawdsk.sys");
  EXPECT_EQ(keys(ProcessSignatures).front(), "VBoxService.exe");
  EXPECT_EQ(keys(ProcessSignatures).back(), "vmwareuser.exe");
  EXPECT_EQ(keys(ManufacturerSignatures),
            (std::vector<std::string>{"Amazon EC2", "Google", "Microsoft Corporation",
                                      "Oracle Corporation", "Parallels Software", "QEMU", "VMware",
                                      "VMware, Inc.", "Xen", "innotek GmbH"}));
  EXPECT_EQ(keys(ModelSignatures)[5], "VMware Virtual Platform");
  EXPECT_EQ(keys(ModelSignatures)[6], "VMware7,1");
  EXPECT_EQ(keys(FileSignatures)[3], "C:\\Windows\\System32\\vm3dgl.dll");
  EXPECT_EQ(keys(FileSignatures)[4], "C:\\Windows\\System32\\vmGuestLib.dll");
  EXPECT_EQ(keys(MacPrefixSignatures).front(), "00:05:69");
  EXPECT_EQ(keys(MacPrefixSignatures).back(), "52:54:00");
  EXPECT_EQ(keys(VendorKeywordSignatures),
            (std::vector<std::string>{"Hyper-V", "Parallels", "QEMU", "VBOX", "VMware",
                                      "VirtualBox", "Xen"}));
}

TEST(SignatureTables, OrderComparesBytesAsUnsigned) {
  // A byte above 0x7F must sort after every ASCII byte, as memcmp does.
  const SignatureTable table = {{"\xc3\xa9", "x"}, {"z", "y"}};
  EXPECT_EQ(table.begin()->first, "z");
}

TEST(SignatureTables, EveryValueIsAKnownVendor) {
  const std::vector<std::string> vendors = {"VMware", "VirtualBox",  "Hyper-V", "Parallels",
                                            "QEMU",   "Xen",         "KVM",     "Bochs",
                                            "AWS",    "Google Cloud"};
  for (const SignatureTable* table :
       {&VendorKeywordSignatures, &ManufacturerSignatures, &ModelSignatures, &MacPrefixSignatures,
        &ProcessSignatures, &DriverSignatures, &RegistrySignatures, &FileSignatures}) {
    for (const auto& [key, vendor] : *table) {
      EXPECT_NE(std::find(vendors.begin(), vendors.end(), vendor), vendors.end()) << key;
    }
  }
}

}  // namespace
}  // namespace guestwise
