#include "guestwise/guestwise.h"

#include "detect/detector.h"
#include "probes/host.h"

namespace guestwise {

DetectionResult detect() {
  Detector detector(platformHost());
  return detector.detect();
}

}  // namespace guestwise
