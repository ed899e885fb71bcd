#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "facts/facts.h"

namespace guestwise::census {

// The SMBIOS identity of some computers, by the WMI property each text
// becomes on Windows.
struct Identity {
  std::uint64_t machines = 1;
  std::string systemManufacturer;  // Win32_ComputerSystem.Manufacturer
  std::string systemProduct;       // Win32_ComputerSystem.Model
  std::string biosVendor;          // Win32_BIOS.Manufacturer
  std::string boardManufacturer;   // Win32_BaseBoard.Manufacturer
  std::string boardProduct;        // Win32_BaseBoard.Product
};

// Input that is not a list of identities; what() is one line naming the
// line number and the fault.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One identity a line, tab-separated: the five texts in the order above,
// after the number of machines or without it (then one machine). A line
// may end in CR LF.
std::vector<Identity> parseIdentities(const std::string& text);

// What WMI answers the probes on a machine of that identity, as a facts
// document's answers: Win32_ComputerSystem, Win32_BIOS (no serial number,
// no version) and Win32_BaseBoard.
Json identityAnswers(const Identity& identity);

// The identities whose detection gave the same findings.
struct Family {
  std::vector<std::string> evidence;
  std::string vendor;
  std::int32_t confidence = 0;
  std::uint64_t machines = 0;
};

struct Census {
  std::uint64_t machines = 0;
  std::uint64_t identities = 0;
  std::uint64_t virtualMachines = 0;
  std::vector<Family> families;      // called a virtual machine
  std::vector<Family> belowVerdict;  // with findings, but under the verdict's score
};

// Both lists most machines first, then by their evidence lines.
Census takeCensus(const std::vector<Identity>& identities);

std::string censusText(const Census& census);
Json censusJson(const Census& census);

}  // namespace guestwise::census
