// TLS with OpenSSL: verified always, never a fall-back to plain TCP.
#include "ntrip/ntrip.h"
#include "ntrip/ntrip_internal.h"
#include "common/io.h"
#include "common/service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

enum { HANDSHAKE_MS = 10000 };

bool tls_built()
{
    return true;
}

// What OpenSSL's error queue says, or what errno says when it says nothing.
static std::string ssl_reason(int ssl_error)
{
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        const char *reason = ERR_reason_error_string(e);
        return reason ? reason : buf;
    }
    if (ssl_error == SSL_ERROR_SYSCALL)
        return errno != 0 ? strerror(errno) : "the connection was closed";
    if (ssl_error == SSL_ERROR_ZERO_RETURN)
        return "the connection was closed";
    return "error " + std::to_string(ssl_error);
}

static bool is_address(const std::string &host)
{
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

int start_tls(Conn *c, const std::string &host, unsigned port, const std::string &cafile,
              Failure *f)
{
    std::string where = host_port(host, port);
    c->ctx = SSL_CTX_new(TLS_client_method());
    if (!c->ctx) {
        *f = {EXIT_TLS, "cannot set up TLS: " + ssl_reason(0)};
        return -1;
    }
    SSL_CTX_set_min_proto_version(c->ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(c->ctx, SSL_VERIFY_PEER, nullptr);
    if (!cafile.empty()) {
        FILE *ca = fopen(cafile.c_str(), "re");
        if (!ca) {
            *f = {EXIT_TLS, "cannot read the CA file " + cafile + ": " + strerror(errno)};
            return -1;
        }
        fclose(ca);
        if (SSL_CTX_load_verify_locations(c->ctx, cafile.c_str(), nullptr) != 1) {
            *f = {EXIT_TLS, "cannot use the CA file " + cafile + ": " + ssl_reason(0)};
            return -1;
        }
    } else if (SSL_CTX_set_default_verify_paths(c->ctx) != 1) {
        *f = {EXIT_TLS, "cannot read the system's certificates: " + ssl_reason(0)};
        return -1;
    }
    c->ssl = SSL_new(c->ctx);
    if (!c->ssl || SSL_set_fd(c->ssl, c->fd) != 1) {
        *f = {EXIT_TLS, "cannot set up TLS: " + ssl_reason(0)};
        return -1;
    }
    SSL_set_mode(c->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The name the certificate must carry: a host name, or the address
    // the caster was given by (no SNI for an address).
    if (is_address(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(c->ssl, host.c_str());
        SSL_set1_host(c->ssl, host.c_str());
    }
    long long deadline = monotonic_ms() + HANDSHAKE_MS;
    for (;;) {
        errno = 0;
        int r = SSL_connect(c->ssl);
        if (r == 1)
            break;
        int e = SSL_get_error(c->ssl, r);
        long left = static_cast<long>(deadline - monotonic_ms());
        if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && left > 0) {
            pollfd p[2] = {{c->fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0},
                           {stop_fd(), POLLIN, 0}};
            poll(p, 2, static_cast<int>(left));
            if (stop_requested())
                return -1;
            continue;
        }
        long verify = SSL_get_verify_result(c->ssl);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            *f = {EXIT_TLS, "TLS with " + where + " failed: no handshake in 10 s"};
        else if (verify != X509_V_OK)
            *f = {EXIT_TLS, "TLS with " + where + " failed: its certificate is not trusted: " +
                                X509_verify_cert_error_string(verify)};
        else
            *f = {EXIT_TLS, "TLS with " + where + " failed: " + ssl_reason(e)};
        return -1;
    }
    const char *v = SSL_get_version(c->ssl);
    c->tls = strcmp(v, "TLSv1.3") == 0 ? "TLS 1.3" : strcmp(v, "TLSv1.2") == 0 ? "TLS 1.2" : v;
    return 0;
}

long tls_read(Conn *c, char *buf, size_t n, Failure *f)
{
    c->want_write = false;
    errno = 0;
    int r = SSL_read(c->ssl, buf, static_cast<int>(n > 1 << 30 ? 1 << 30 : n));
    if (r > 0)
        return r;
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_WANT_READ)
        return -2;
    if (e == SSL_ERROR_WANT_WRITE) {
        c->want_write = true;
        return -2;
    }
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0 && ERR_peek_error() == 0))
        return 0;
    f->why = ssl_reason(e);
    return -1;
}

long tls_write(Conn *c, const char *buf, size_t n, Failure *f)
{
    errno = 0;
    int r = SSL_write(c->ssl, buf, static_cast<int>(n > 1 << 30 ? 1 << 30 : n));
    if (r > 0)
        return r;
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return -2;
    f->why = ssl_reason(e);
    return -1;
}

bool tls_pending(Conn *c)
{
    return SSL_pending(c->ssl) > 0;
}

void tls_close(Conn *c)
{
    SSL_free(c->ssl);
    c->ssl = nullptr;
    SSL_CTX_free(c->ctx);
    c->ctx = nullptr;
}
