// A build without OpenSSL: a caster on a TLS port is refused, never
// reached in clear.
#include "ntrip/ntrip.h"
#include "ntrip/ntrip_internal.h"

bool tls_built()
{
    return false;
}

int start_tls(Conn *, const std::string &host, unsigned port, const std::string &, Failure *f)
{
    *f = {EXIT_TLS, "cannot speak TLS with " + host_port(host, port) +
                        ": this build of rtkfeedd-ntrip has no TLS"};
    return -1;
}

long tls_read(Conn *, char *, size_t, Failure *)
{
    return -1;
}

long tls_write(Conn *, const char *, size_t, Failure *)
{
    return -1;
}

bool tls_pending(Conn *)
{
    return false;
}

void tls_close(Conn *)
{
}
