// Within the client subsystem: waiting for a child of ours.
#pragma once

#include <sys/types.h>

// Waits for pid to end, through interruptions; returns its wait status, or
// -1 when it cannot be waited for.
int reap_child(pid_t pid);
