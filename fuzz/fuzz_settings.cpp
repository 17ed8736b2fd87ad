// The settings lookup over any line, with a key from the same input.
#include "settings/settings_internal.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // "key\0line": the first part is the key looked up in the second.
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find('\0');
    std::string key = split == std::string::npos ? "MOD_NTRIP_PORT" : input.substr(0, split);
    std::string line = split == std::string::npos ? input : input.substr(split + 1);
    const char *value = settings_match_line(&line[0], key.c_str());
    if (value && (value < line.data() || value > line.data() + line.size()))
        __builtin_trap();
    // And through the file reader, whose buffer cuts long lines.
    FILE *f = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    if (f) {
        settings_get_str(f, key.c_str());
        settings_get_uint(f, "MOD_NTRIP_PORT");
        fclose(f);
    }
    return 0;
}
