// Linux only: puts the calling process on one CPU, and at a real-time
// priority, for the placements of the end-to-end harness.
#pragma once

#include "tests/e2e/harness.h"

// In a child before exec (the placement outlives the exec). False when the
// system refused.
bool place_process(Placement placement);
