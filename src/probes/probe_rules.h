#pragma once

#include <cstddef>
#include <string_view>

namespace guestwise {

// The WMI queries of a run, in the order the detector makes them; the
// census and the floor benchmark use the same texts.
inline constexpr wchar_t ComputerSystemQuery[] =
    L"SELECT Manufacturer, Model FROM Win32_ComputerSystem";
inline constexpr wchar_t BiosQuery[] =
    L"SELECT Manufacturer, SerialNumber, Version FROM Win32_BIOS";
inline constexpr wchar_t BaseBoardQuery[] = L"SELECT Manufacturer, Product FROM Win32_BaseBoard";
inline constexpr wchar_t DiskDriveQuery[] = L"SELECT Model, Caption FROM Win32_DiskDrive";
inline constexpr wchar_t NetworkAdapterQuery[] =
    L"SELECT MACAddress, Name, NetConnectionStatus FROM Win32_NetworkAdapter "
    L"WHERE MACAddress IS NOT NULL AND NetConnectionStatus = 2";

// What the probes judge in a text that the facts redaction may blank out:
// the part of a MAC address that names its vendor ("00:0C:29"), and a BIOS
// serial number that can make a finding.
inline constexpr std::size_t MacPrefixLength = 8;
bool isTellingBiosSerial(std::string_view serial);

}  // namespace guestwise
