#pragma once

#include <map>
#include <string>

namespace guestwise {

// Indicator text -> vendor text. std::map<std::string> orders keys byte by
// byte as unsigned values, a prefix before its extensions: that order is the
// walk order every probe reports its findings in.
using SignatureTable = std::map<std::string, std::string>;

extern const SignatureTable VendorKeywordSignatures;
extern const SignatureTable ManufacturerSignatures;
extern const SignatureTable ModelSignatures;
extern const SignatureTable MacPrefixSignatures;
extern const SignatureTable ProcessSignatures;
extern const SignatureTable DriverSignatures;
extern const SignatureTable RegistrySignatures;
extern const SignatureTable FileSignatures;

}  // namespace guestwise
