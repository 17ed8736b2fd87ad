// Within the settings subsystem, its tests and its fuzz target: the file
// reader's primitives.
#pragma once

#include "settings/settings.h"

#include <cstdio>
#include <string>

void load_settings_from(Config *cfg, const char *path);

// Lookups over an open settings file (f may be null).
const char *settings_find(FILE *f, const char *key);
std::string settings_get_str(FILE *f, const char *key);
unsigned settings_get_uint(FILE *f, const char *key);
// The keys added since the first ones: fallback when the key is missing or
// its value empty, and, logged, when it is not a plain number (digits, and
// for the second a decimal point) from low (0) to high.
unsigned settings_get_uint_or(FILE *f, const char *key, unsigned fallback, unsigned low,
                              unsigned high);
double settings_get_double_or(FILE *f, const char *key, double fallback, double high);

// One line of the file: returns the value when its key matches, else null.
// The line is cut in place.
const char *settings_match_line(char *line, const char *key);
