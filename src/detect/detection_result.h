#pragma once

// DetectionResult is part of the public API; its one definition is there.
#include "guestwise/guestwise.h"
