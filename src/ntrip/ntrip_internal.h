// Within rtkfeedd-ntrip: the connection to the caster, plain TCP or TLS,
// which only moves bytes. Every wait also ends at a stop (stop_fd()).
#pragma once

#include <string>

struct ssl_st;
struct ssl_ctx_st;

struct Conn {
    int fd = -1;
    ssl_st *ssl = nullptr;
    ssl_ctx_st *ctx = nullptr;
    std::string tls;         // "TLS 1.3", empty for plain TCP
    bool want_write = false; // TLS must write before it can read on
};

// A failure in words, and the exit status it leads to.
struct Failure {
    int exit = 0;
    std::string why;
};

// Connects to every address of host in turn, at most 10 s each, until one
// answers. 0, or -1 with *f filled (or a stop: stop_requested()).
int connect_tcp(const std::string &host, unsigned port, Conn *c, Failure *f);

// TLS over the connected socket: 1.2 or later, SNI, the chain verified
// against cafile (empty: the system's store) and the host's name or
// address checked against the certificate. 0, or -1 with *f filled.
int start_tls(Conn *c, const std::string &host, unsigned port, const std::string &cafile,
              Failure *f);
// Whether the build has TLS.
bool tls_built();
// The TLS side of conn_read, conn_write, conn_pending and conn_close.
long tls_read(Conn *c, char *buf, size_t n, Failure *f);
long tls_write(Conn *c, const char *buf, size_t n, Failure *f);
bool tls_pending(Conn *c);
void tls_close(Conn *c);

// Moves bytes: a count, 0 at the end of the stream, -1 on an error (*f),
// -2 when it would block.
long conn_read(Conn *c, char *buf, size_t n, Failure *f);
long conn_write(Conn *c, const char *buf, size_t n, Failure *f);
// Bytes TLS has decrypted and not yet handed out.
bool conn_pending(Conn *c);
void conn_close(Conn *c);
