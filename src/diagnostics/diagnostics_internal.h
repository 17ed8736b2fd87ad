// Within the diagnostics subsystem, its tests and its fuzz target.
#pragma once

#include "diagnostics/diagnostics.h"

#include <cstddef>

// Splits a burst of len bytes (buf has room for len + 1) into its lines in
// place: a line feed ends a line, and text after the last one is a line of
// its own. Fills at most max line starts; returns the count of lines.
size_t diag_split(char *buf, size_t len, char *lines[], size_t max);

// The bound against a client that floods the log.
enum { DIAG_LINES_PER_SECOND = 20 };
struct DiagBudget {
    long long second = -1;  // the second (monotonic) being counted
    unsigned logged = 0;
    unsigned held_back = 0;
};
// Whether a line that comes at now_ms may be logged; counts it if not.
bool diag_take(DiagBudget *b, long long now_ms);
// A line as the report keeps it: without a trailing CR, cut to at most
// 200 bytes where a character begins.
std::string said_text(const char *line);
// Once the second with lines held back is over: their count, reset; else 0.
unsigned diag_held_back(DiagBudget *b, long long now_ms);
