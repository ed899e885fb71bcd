// smbios_census: runs Guestwise's detection once per SMBIOS identity, on a
// machine that shows that identity and nothing else, and counts the
// machines called virtual.
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>

#include "census.h"

namespace {

constexpr char Usage[] =
    "Usage: smbios_census [--json] [FILE]\n"
    "       smbios_census --identity [--json] < IDENTITIES\n"
    "Counts the machines of FILE (default: the data/smbios-identities.tsv.gz of the sources)\n"
    "that Guestwise calls virtual from their SMBIOS identity alone. --identity reads the\n"
    "identities from standard input instead: one a line, 5 tab-separated texts (system\n"
    "manufacturer, system product, BIOS vendor, baseboard manufacturer, baseboard product),\n"
    "or 6 with the number of machines first. FILE and standard input may be gzipped.\n";

constexpr int FailedStatus = 2;

struct Options {
  bool json = false;
  bool identity = false;
  bool help = false;
  std::string file = GUESTWISE_CENSUS_DATA;
  std::string error;
};

Options scan(int argc, char* argv[]) {
  Options options;
  bool fileGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--identity") {
      options.identity = true;
    } else if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      options.error = "unknown option " + argument;
    } else if (fileGiven) {
      options.error = "more than one FILE";
    } else {
      options.file = argument;
      fileGiven = true;
    }
  }
  if (options.identity && fileGiven) options.error = "--identity reads standard input, not FILE";
  return options;
}

// zlib reads plain text as it is, so the same call takes gzipped or not.
bool readAll(gzFile in, std::string& text) {
  char buffer[1 << 16];
  int got;
  while ((got = gzread(in, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  return got == 0;
}

bool readInput(const Options& options, std::string& text) {
  const std::unique_ptr<gzFile_s, int (*)(gzFile)> in(
      options.identity ? gzdopen(fileno(stdin), "rb") : gzopen(options.file.c_str(), "rb"),
      &gzclose);
  return in != nullptr && readAll(in.get(), text);
}

int fail(const std::string& why) {
  std::fputs(("smbios_census: " + why + "\n").c_str(), stderr);
  return FailedStatus;
}

}  // namespace

int main(int argc, char* argv[]) {
  const Options options = scan(argc, argv);
  if (options.help) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (!options.error.empty()) return fail(options.error + "\n" + Usage);
  std::string text;
  if (!readInput(options, text)) {
    return fail("cannot read " + (options.identity ? std::string("standard input") : options.file));
  }
  try {
    using namespace guestwise::census;
    const Census census = takeCensus(parseIdentities(text));
    const std::string output =
        options.json
            ? censusJson(census).dump(2, ' ', false, guestwise::Json::error_handler_t::replace) +
                  "\n"
            : censusText(census);
    std::fwrite(output.data(), 1, output.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : FailedStatus;
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}
