// A private mount namespace for running the real daemon: fresh tmpfs over
// "/dev" (with the null device, a private devpts and "/dev/fd"), "/run" (with
// "/run/lock" and "/run/fake"), "/opt" (with "/opt/casterLink" and client as
// its client program) and "/var/tmp". The first call moves the process into
// a namespace of its own; later calls start afresh. Aborts when it cannot.
#pragma once

void make_private_tree(const char *client);

// Aborts with what and the errno text unless ok.
void must(bool ok, const char *what);
