// The content of a lock file left by anyone.
#include "devices/devices_internal.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // As read from the file: at most 31 bytes and a terminator.
    char text[32];
    if (size > sizeof text - 1)
        size = sizeof text - 1;
    memcpy(text, data, size);
    text[size] = '\0';
    int pid = parse_lock_pid(text);
    char back[12];
    if (pid > 0) {
        format_lock_content(pid, back);
        if (parse_lock_pid(back) != pid)
            __builtin_trap();
    }
    return 0;
}
