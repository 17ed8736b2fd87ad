#include "ntrip/ntrip.h"
#include "ntrip/ntrip_internal.h"
#include "common/io.h"
#include "common/service.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

enum { LOOKUP_MS = 15000, CONNECT_MS = 10000 };

// A name lookup cannot be interrupted: it runs in a thread of its own,
// which a stop or the time limit abandons (the process then ends).
struct Lookup {
    std::string host, service;
    addrinfo *result = nullptr;
    int rc = 0;
    int done[2] = {-1, -1};       // written once the lookup is over
    std::atomic<bool> over{false};  // rc and result are there
    std::atomic<int> owners{2};   // the thread and the caller
};

static void release(Lookup *l)
{
    if (l->owners.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (l->result)
        freeaddrinfo(l->result);
    close(l->done[0]);
    close(l->done[1]);
    delete l;
}

static void *lookup_thread(void *arg)
{
    Lookup *l = static_cast<Lookup *>(arg);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    l->rc = getaddrinfo(l->host.c_str(), l->service.c_str(), &hints, &l->result);
    l->over.store(true, std::memory_order_release);
    if (write(l->done[1], "", 1) < 0) {
    }
    release(l);
    return nullptr;
}

static std::string address_text(const sockaddr *sa, socklen_t len)
{
    char host[NI_MAXHOST] = "?";
    getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

// Waits for a non-blocking connect: 0 connected, else an errno (ETIMEDOUT,
// EINTR for a stop).
static int finish_connect(int fd)
{
    long long deadline = monotonic_ms() + CONNECT_MS;
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return ETIMEDOUT;
        pollfd p[2] = {{fd, POLLOUT, 0}, {stop_fd(), POLLIN, 0}};
        int r = poll(p, 2, static_cast<int>(left));
        if (stop_requested())
            return EINTR;
        if (r < 0 && errno != EINTR)
            return errno;
        if (r > 0 && p[0].revents) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            return err;
        }
    }
}

int connect_tcp(const std::string &host, unsigned port, Conn *c, Failure *f)
{
    Lookup *l = new Lookup;
    l->host = host;
    l->service = std::to_string(port);
    pthread_t thread;
    if (pipe2(l->done, O_CLOEXEC) != 0 ||
        pthread_create(&thread, nullptr, lookup_thread, l) != 0) {
        *f = {EXIT_LOCAL, std::string("cannot look up ") + host + ": " + strerror(errno)};
        l->owners.store(1);
        release(l);
        return -1;
    }
    pthread_detach(thread);
    int r = 0;
    long long deadline = monotonic_ms() + LOOKUP_MS;
    do {
        pollfd p[2] = {{l->done[0], POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        long long left = deadline - monotonic_ms();
        r = left > 0 ? poll(p, 2, static_cast<int>(left)) : 0;
        if (stop_requested()) {
            release(l);
            return -1;
        }
    } while (r < 0 && errno == EINTR);
    if (r <= 0 || !l->over.load(std::memory_order_acquire)) {
        release(l);
        *f = {EXIT_UNREACHABLE, "cannot reach " + host_port(host, port) + ": no answer from the resolver in 15 s"};
        return -1;
    }
    if (l->rc != 0) {
        *f = {EXIT_UNREACHABLE, "cannot reach " + host_port(host, port) + ": " + gai_strerror(l->rc)};
        release(l);
        return -1;
    }
    std::string tried;
    for (addrinfo *ai = l->result; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        int err = fd < 0 ? errno : 0;
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0)
            err = errno == EINPROGRESS ? finish_connect(fd) : errno;
        if (fd >= 0 && err == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            c->fd = fd;
            release(l);
            return 0;
        }
        if (fd >= 0)
            close(fd);
        if (stop_requested()) {
            release(l);
            return -1;
        }
        tried += (tried.empty() ? "" : "; ") + address_text(ai->ai_addr, ai->ai_addrlen) + ": " +
                 (err == ETIMEDOUT ? "no answer in 10 s" : strerror(err));
    }
    release(l);
    *f = {EXIT_UNREACHABLE, "cannot reach " + host_port(host, port) + ": " + tried};
    return -1;
}

long conn_read(Conn *c, char *buf, size_t n, Failure *f)
{
    if (c->ssl)
        return tls_read(c, buf, n, f);
    ssize_t r = read(c->fd, buf, n);
    if (r >= 0)
        return r;
    if (errno == EAGAIN || errno == EINTR)
        return -2;
    f->why = strerror(errno);
    return -1;
}

long conn_write(Conn *c, const char *buf, size_t n, Failure *f)
{
    if (c->ssl)
        return tls_write(c, buf, n, f);
    ssize_t r = send(c->fd, buf, n, MSG_NOSIGNAL);
    if (r >= 0)
        return r;
    if (errno == EAGAIN || errno == EINTR)
        return -2;
    f->why = strerror(errno);
    return -1;
}

bool conn_pending(Conn *c)
{
    return c->ssl && tls_pending(c);
}

void conn_close(Conn *c)
{
    if (c->ssl || c->ctx)
        tls_close(c);
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
}
