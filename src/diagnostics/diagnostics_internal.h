// Within the diagnostics subsystem, its tests and its fuzz target.
#pragma once

#include "diagnostics/diagnostics.h"

#include <cstddef>

// Terminates a burst of len bytes and cuts it at its first line feed;
// buf has room for len + 1 bytes. Returns the text's length.
size_t diag_cut(char *buf, size_t len);
