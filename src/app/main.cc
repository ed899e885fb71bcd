#include <iostream>

#include "app/command_line.h"
#include "detect/detector.h"
#include "probes/host.h"

int main(int argc, char* argv[]) {
  return guestwise::runGuestwise(argc, argv, std::cout, [] {
    guestwise::Detector detector(guestwise::platformHost());
    return detector.detect();
  });
}
