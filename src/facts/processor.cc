// The processor's own answer to whether a hypervisor runs it, as the Intel
// and AMD manuals define CPUID and Microsoft's Hyper-V hypervisor reference
// defines the hypervisor leaves. No probe judges it.
#include <algorithm>
#include <initializer_list>

#include "facts/facts.h"

namespace guestwise {

namespace {

constexpr std::uint32_t VendorLeaf = 0x00000000;  // EAX: the highest basic leaf
constexpr std::uint32_t FeatureLeaf = 0x00000001;
// Of its EBX: the initial APIC ID, which names the core that happened to run
// the instruction, not the processor; kept, it would make two runs' facts
// differ on a machine that did not change.
constexpr std::uint32_t InitialApicId = 0xFFu << 24;
constexpr std::uint32_t HypervisorPresent = 1u << 31;  // of ECX; zero on bare hardware
constexpr std::uint32_t HypervisorLeaf = 0x40000000;   // EAX: the highest hypervisor leaf
constexpr std::uint32_t InterfaceLeaf = 0x40000001;
constexpr std::uint32_t HyperVFeatureLeaf = 0x40000003;
constexpr std::uint32_t HyperVInterface = 0x31237648;  // "Hv#1"
// Of EBX, the high half of the partition's privilege mask: only a root
// partition may create others, a host's or the one of a Hyper-V that a
// guest started itself.
constexpr std::uint32_t CreatePartitions = 1u << 0;
// KVM and Xen, when they offer Hyper-V's interface at 0x40000000, move their
// own signature to the next range. Its EAX names a leaf of that range only
// where one is there: anything else (zeros, most often) says nothing.
constexpr std::uint32_t NextRangeLeaf = 0x40000100;
constexpr std::uint32_t NextRangeLast = 0x400001FF;
constexpr std::uint32_t ExtendedLeaf = 0x80000000;  // EAX: the highest extended leaf
constexpr std::uint32_t FirstBrandLeaf = 0x80000002;
constexpr std::uint32_t LastBrandLeaf = 0x80000004;

const char* const RegisterNames[] = {"eax", "ebx", "ecx", "edx"};

// Fixed width, so that the text of a value is the one way to write it.
std::string hexText(std::uint32_t value) {
  std::string text = "0x00000000";
  for (std::size_t digit = text.size() - 1; value != 0; --digit, value >>= 4) {
    text[digit] = "0123456789abcdef"[value & 0xF];
  }
  return text;
}

std::optional<std::uint32_t> hexValue(const std::string& text) {
  if (text.size() != hexText(0).size() || text.rfind("0x", 0) != 0) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9', letter = c >= 'a' && c <= 'f';
    if (!digit && !letter) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(digit ? c - '0' : c - 'a' + 10);
  }
  return value;
}

// The registers' bytes, low byte first, in the order given.
std::string bytesOf(std::initializer_list<std::uint32_t> registers) {
  std::string bytes;
  for (const std::uint32_t value : registers) {
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift & 0xFF);
  }
  return bytes;
}

// Text only where every byte is printable ASCII: other bytes (KVM's feature
// bits at 0x40000001) would read as a word that the register never said.
// The leaves keep the bytes either way.
Json textOrNull(const std::string& bytes) {
  const bool printable =
      std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
  return printable ? Json(bytes) : Json(nullptr);
}

// A signature is padded with NULs.
Json signatureText(std::string bytes) {
  bytes.erase(bytes.find_last_not_of('\0') + 1);
  return textOrNull(bytes);
}

// The brand string ends at its NUL, and is often right-aligned with blanks.
Json brandText(std::string bytes) {
  bytes.resize(std::min(bytes.find('\0'), bytes.size()));
  const std::size_t first = bytes.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return textOrNull(bytes.substr(first, bytes.find_last_not_of(' ') - first + 1));
}

// Asks the host for each leaf and writes its registers down, by leaf.
class LeafReader {
 public:
  explicit LeafReader(Host& host) : host_(host) {}
  CpuidRegisters operator()(std::uint32_t leaf) {
    CpuidRegisters answer = host_.cpuid(leaf);
    if (leaf == FeatureLeaf) answer.ebx &= ~InitialApicId;
    const std::uint32_t values[] = {answer.eax, answer.ebx, answer.ecx, answer.edx};
    Json& written = leaves_[hexText(leaf)] = Json::object();
    for (std::size_t i = 0; i < 4; ++i) written[RegisterNames[i]] = hexText(values[i]);
    return answer;
  }
  const Json& leaves() const { return leaves_; }

 private:
  Host& host_;
  Json leaves_ = Json::object();
};

Json brandFacts(LeafReader& read) {
  if (read(ExtendedLeaf).eax < LastBrandLeaf) return nullptr;
  std::string bytes;
  for (std::uint32_t leaf = FirstBrandLeaf; leaf <= LastBrandLeaf; ++leaf) {
    const CpuidRegisters part = read(leaf);
    bytes += bytesOf({part.eax, part.ebx, part.ecx, part.edx});
  }
  return brandText(bytes);
}

Json hypervisorFacts(LeafReader& read) {
  const CpuidRegisters range = read(HypervisorLeaf);
  Json facts = {{"maxLeaf", hexText(range.eax)},
                {"vendor", signatureText(bytesOf({range.ebx, range.ecx, range.edx}))},
                {"interface", nullptr},
                {"privilegeFlags", nullptr},
                {"rootPartition", nullptr},
                {"nextRangeVendor", nullptr}};
  if (range.eax >= InterfaceLeaf) {
    const std::uint32_t signature = read(InterfaceLeaf).eax;
    facts["interface"] = signatureText(bytesOf({signature}));
    if (signature == HyperVInterface && range.eax >= HyperVFeatureLeaf) {
      const std::uint32_t flags = read(HyperVFeatureLeaf).ebx;
      facts["privilegeFlags"] = hexText(flags);
      facts["rootPartition"] = (flags & CreatePartitions) != 0;
    }
  }
  const CpuidRegisters next = read(NextRangeLeaf);
  if (next.eax >= NextRangeLeaf && next.eax <= NextRangeLast) {
    facts["nextRangeVendor"] = signatureText(bytesOf({next.ebx, next.ecx, next.edx}));
  }
  return facts;
}

}  // namespace

Json processorFacts(Host& host) {
  LeafReader read(host);
  const CpuidRegisters vendor = read(VendorLeaf);
  Json facts = {{"vendor", signatureText(bytesOf({vendor.ebx, vendor.edx, vendor.ecx}))},
                {"brand", nullptr},
                {"hypervisorPresent", nullptr},
                {"hypervisor", nullptr}};
  if (vendor.eax >= FeatureLeaf) {
    const bool present = (read(FeatureLeaf).ecx & HypervisorPresent) != 0;
    facts["hypervisorPresent"] = present;
    if (present) facts["hypervisor"] = hypervisorFacts(read);
  }
  facts["brand"] = brandFacts(read);
  facts["leaves"] = read.leaves();
  return asWritten(facts);
}

CpuidRegisters recordedCpuid(const Json* processor, std::uint32_t leaf) {
  const Json leaves = member<Json>(processor, "leaves");
  const Json registers = member<Json>(&leaves, hexText(leaf).c_str());
  std::uint32_t values[4] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    values[i] = hexValue(member<std::string>(&registers, RegisterNames[i])).value_or(0);
  }
  return {values[0], values[1], values[2], values[3]};
}

}  // namespace guestwise
