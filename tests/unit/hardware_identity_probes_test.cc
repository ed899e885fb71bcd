#include <gtest/gtest.h>

#include "detect/detector.h"
#include "fake_host.h"
#include "probes/text_match.h"

namespace guestwise {
namespace {

using testing::FakeRow;
using testing::Probe;
using Lines = std::vector<std::string>;

TEST(TextMatch, ContainsAndStartsWithFoldOnlyAsciiLetters) {
  EXPECT_TRUE(containsIgnoreCase("", ""));
  EXPECT_TRUE(containsIgnoreCase("abc", ""));
  EXPECT_FALSE(containsIgnoreCase("", "a"));
  EXPECT_TRUE(containsIgnoreCase("Linux KVM guest", "kvm"));
  EXPECT_FALSE(containsIgnoreCase("ab", "abc"));
  EXPECT_FALSE(containsIgnoreCase("\xc3\x89", "\xc3\xa9"));  // É and é are not folded
  EXPECT_TRUE(startsWithIgnoreCase("vmware-42", "VMware-"));
  EXPECT_FALSE(startsWithIgnoreCase("x VMware-42", "VMware-"));
  EXPECT_FALSE(startsWithIgnoreCase("VMware", "VMware-"));
  EXPECT_TRUE(startsWithIgnoreCase("", ""));
}

TEST(ComputerSystemRow, ManufacturerThenModelFirstKeyEach) {
  Probe p;
  p.detector.onComputerSystemRow(
      FakeRow({{L"Manufacturer", "VMware, Inc."}, {L"Model", "VMware Virtual Platform"}}));
  EXPECT_EQ(p.detector.evidence(), (Lines{"Win32_ComputerSystem.Manufacturer = VMware, Inc.",
                                          "Win32_ComputerSystem.Model = VMware Virtual Platform"}));
  EXPECT_EQ(p.detector.vendorScores(), (VendorScores{{"VMware", 45}}));

  Probe kvm;
  kvm.detector.onComputerSystemRow(
      FakeRow({{L"Manufacturer", "Dell Inc."}, {L"Model", "linux kvm"}}));
  EXPECT_EQ(kvm.detector.evidence(), (Lines{"Win32_ComputerSystem.Model = linux kvm"}));
  EXPECT_EQ(kvm.detector.vendorScores(), (VendorScores{{"KVM", 20}}));

  Probe none;
  none.detector.onComputerSystemRow(FakeRow({}));
  EXPECT_TRUE(none.detector.evidence().empty());
}

TEST(BiosRow, KeywordAsStoredAndSerialPrefix) {
  Probe vbox;
  vbox.detector.onBiosRow(FakeRow({{L"Manufacturer", "innotek"}, {L"Version", "VirtualBox"}}));
  EXPECT_EQ(vbox.detector.evidence(), (Lines{"Win32_BIOS contains 'VirtualBox'"}));  // not VBOX

  Probe qemu;
  qemu.detector.onBiosRow(FakeRow({{L"Manufacturer", "xen"}, {L"Version", "qemu"}}));
  EXPECT_EQ(qemu.detector.evidence(), (Lines{"Win32_BIOS contains 'QEMU'"}));
  EXPECT_EQ(qemu.detector.vendorScores(), (VendorScores{{"QEMU", 20}}));

  Probe vmware;
  vmware.detector.onBiosRow(FakeRow({{L"SerialNumber", "vmware-56 4d"}}));
  EXPECT_EQ(vmware.detector.evidence(),
            (Lines{"Win32_BIOS contains 'VMware'", "Win32_BIOS.SerialNumber = vmware-56 4d"}));
  EXPECT_EQ(vmware.detector.vendorScores(), (VendorScores{{"VMware", 45}}));

  Probe inside;
  inside.detector.onBiosRow(FakeRow({{L"SerialNumber", "X VMware-1"}}));
  EXPECT_EQ(inside.detector.evidence(), (Lines{"Win32_BIOS contains 'VMware'"}));

  Probe blanks;  // the joined text is two blanks: no key
  blanks.detector.onBiosRow(FakeRow({}));
  EXPECT_TRUE(blanks.detector.evidence().empty());
}

TEST(BiosRow, PropertiesAreJoinedWithBlanks) {
  // "Hyper" and "-V" only meet across the join if no blank stands between.
  Probe p;
  p.detector.onBiosRow(FakeRow({{L"Manufacturer", "Hyper"}, {L"SerialNumber", "-V"}}));
  EXPECT_TRUE(p.detector.evidence().empty());
}

TEST(BaseBoardRow, KeyOrderDecidesAndMessageQuotesManufacturer) {
  Probe google;
  google.detector.onBaseBoardRow(FakeRow({{L"Product", "Google Compute Engine"}}));
  EXPECT_EQ(google.detector.evidence(), (Lines{"Win32_BaseBoard.Manufacturer = "}));
  EXPECT_EQ(google.detector.vendorScores(), (VendorScores{{"Google Cloud", 15}}));

  Probe order;  // "Amazon EC2" (product) comes before "Xen" (manufacturer)
  order.detector.onBaseBoardRow(FakeRow({{L"Manufacturer", "Xen"}, {L"Product", "amazon ec2"}}));
  EXPECT_EQ(order.detector.evidence(), (Lines{"Win32_BaseBoard.Manufacturer = Xen"}));
  EXPECT_EQ(order.detector.vendorScores(), (VendorScores{{"AWS", 15}}));

  Probe physical;
  physical.detector.onBaseBoardRow(FakeRow({{L"Manufacturer", "ASUSTeK"}, {L"Product", "PRIME"}}));
  EXPECT_TRUE(physical.detector.evidence().empty());
}

TEST(DiskDriveRow, RuleOrderAndTheModelIsQuoted) {
  const auto judge = [](const std::string& model, const std::string& caption) {
    Probe p;
    p.detector.onDiskDriveRow(FakeRow({{L"Model", model}, {L"Caption", caption}}));
    return std::make_pair(p.detector.evidence(), p.detector.vendorScores());
  };
  EXPECT_EQ(judge("vbox harddisk", ""),
            std::make_pair(Lines{"Win32_DiskDrive.Model = vbox harddisk"},
                           VendorScores{{"VirtualBox", 15}}));
  EXPECT_EQ(judge("Msft", "Microsoft Virtual Disk"),
            std::make_pair(Lines{"Win32_DiskDrive.Model = Msft"}, VendorScores{{"Hyper-V", 15}}));
  EXPECT_EQ(
      judge("virtual disk", "VMWARE"),
      std::make_pair(Lines{"Win32_DiskDrive.Model = virtual disk"}, VendorScores{{"VMware", 15}}));
  EXPECT_EQ(judge("QEMU HARDDISK", "").second, (VendorScores{{"QEMU", 15}}));
  EXPECT_TRUE(judge("Samsung SSD", "").first.empty());
}

TEST(DiskDriveRow, EveryVirtualDiskCounts) {
  Probe p;
  p.host.rowsByClass[L"Win32_DiskDrive"] =
      std::vector<FakeRow>(3, FakeRow({{L"Model", "VMware Virtual disk"}}));
  p.detector.detect();
  EXPECT_EQ(p.detector.vendorScores(), (VendorScores{{"VMware", 45}}));
}

}  // namespace
}  // namespace guestwise
