// The source-table reader and its record split.
#include "client/client_internal.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string fields[STR_FIELDS];
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f)
        return 0;
    if (find_mountpoint(f, "RTCM3", fields) == 0)
        format_mountpoint_info(fields);
    fclose(f);
    std::string line(reinterpret_cast<const char *>(data), size);
    line.resize(255 < line.size() ? 255 : line.size());
    parse_str_record(&line[0], "", fields);
    return 0;
}
