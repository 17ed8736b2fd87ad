#include "nmea/nmea_internal.h"
#include "common/io.h"
#include "common/log.h"
#include "devices/devices.h"
#include "settings/settings.h"
#include "common/service.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// Room for 2047 bytes of a burst and a terminator.
static char acquisition_buf[2048];

// The GGA sentences of every GNSS talker: GPS, combined GNSS, GLONASS,
// Galileo, BeiDou and QZSS.
static const char *const talkers[] = {"GP", "GN", "GL", "GA", "GB", "GQ"};

bool is_gnss_gga(const char *p, size_t left)
{
    if (left < 6 || p[0] != '$' || memcmp(p + 3, "GGA", 3) != 0)
        return false;
    for (const char *t : talkers)
        if (p[1] == t[0] && p[2] == t[1])
            return true;
    return false;
}

// The first GGA candidate of any accepted talker in a burst, or null.
static const char *find_candidate(const char *burst, size_t len)
{
    for (const char *p = burst; (p = static_cast<const char *>(memchr(p, '$', len - (p - burst))));
         p++)
        if (is_gnss_gga(p, len - static_cast<size_t>(p - burst)))
            return p;
    return nullptr;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool has_nmea_checksum(const char *s, size_t n)
{
    const char *star = static_cast<const char *>(memchr(s, '*', n));
    return star && star + 3 <= s + n && hex_value(star[1]) >= 0 && hex_value(star[2]) >= 0;
}

unsigned nmea_checksum(const char *text, size_t n)
{
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++)
        sum ^= static_cast<unsigned char>(text[i]);
    return sum;
}

int check_nmea_checksum(const char *s, size_t n)
{
    const char *star = static_cast<const char *>(memchr(s, '*', n));
    if (!star || star == s)
        return -1;
    if (!has_nmea_checksum(s, n))
        return 0;  // no checksum to check
    unsigned sum = static_cast<unsigned>(hex_value(star[1]) * 16 + hex_value(star[2]));
    return nmea_checksum(s + 1, static_cast<size_t>(star - s - 1)) == sum ? 0 : -1;
}

// Whether the latitude's hemisphere field (the fourth) holds an N or S: a
// receiver without a fix leaves it empty. Looked for in that field alone,
// since the N of the talker "GN" is no hemisphere.
static bool has_hemisphere(const char *s, size_t n)
{
    const char *field = s, *end = s + n;
    for (int commas = 0; commas < 3; commas++) {
        field = static_cast<const char *>(memchr(field, ',', static_cast<size_t>(end - field)));
        if (!field)
            return false;
        field++;
    }
    while (field < end && *field != ',' && *field != '*') {
        if (*field == 'N' || *field == 'S')
            return true;
        field++;
    }
    return false;
}

int extract_gga(const char *burst, size_t len, char *out, size_t out_size)
{
    const char *start = find_candidate(burst, len);
    if (!start)
        return -1;
    size_t rest = len - static_cast<size_t>(start - burst);
    size_t n = 0;
    while (n < rest && start[n] != '\r' && start[n] != '\n' && start[n] != '\0')
        n++;
    // A sentence that would not fit the buffer is no sentence at all.
    if (n >= out_size)
        return -1;
    if (!memchr(start, '*', n) || !has_hemisphere(start, n))
        return -1;
    // A sentence garbled on the line would send a caster a wrong position.
    if (check_nmea_checksum(start, n) != 0)
        return -1;
    memcpy(out, start, n);
    out[n] = '\0';
    // The client and the casters have always been handed "$GPGGA".
    if (out[2] != 'P') {
        out[2] = 'P';
        if (has_nmea_checksum(out, n)) {
            char *star = strchr(out, '*');
            static const char digits[] = "0123456789ABCDEF";
            unsigned sum = nmea_checksum(out + 1, static_cast<size_t>(star - out - 1));
            star[1] = digits[sum >> 4];
            star[2] = digits[sum & 15];
        }
    }
    return 0;
}

GgaWait wait_for_gga(int fd, char out[SENTENCE_SIZE])
{
    // A receiver without a fix never sends an accepted sentence, so the
    // stop request and the line's end are the only other ways out.
    while (!stop_requested()) {
        keep_alive();
        long n = next_burst(fd, acquisition_buf, sizeof acquisition_buf - 1,
                            keep_alive_wait_ms(2000), 400);
        if (n < 0) {
            log_err("select: %s", strerror(errno));
            sleep(1);
        } else if (n > 0 &&
                   extract_gga(acquisition_buf, static_cast<size_t>(n), out, SENTENCE_SIZE) == 0) {
            return GGA_TAKEN;
        } else if (n == 0 && line_hung_up(fd)) {
            return GGA_LINE_GONE;
        }
    }
    return GGA_STOPPED;
}

static int open_source(const Config &cfg, const char *path, bool quiet)
{
    if (quiet)
        return reopen_serial(path, cfg.source_baudrate, cfg.source_databits,
                             cfg.source_parity.c_str(), cfg.source_stopbits);
    return open_serial(path, cfg.source_baudrate, cfg.source_databits, cfg.source_parity.c_str(),
                       cfg.source_stopbits);
}

// A source line of the cycle's own went away while the position was
// awaited: closed, its lock kept, and opened again after 1 s, 2 s, 4 s ...
// at most 30 s. Returns the new descriptor, or -1 at a stop.
static int reopen_source(const Config &cfg, const char *path, int fd)
{
    log_err("source device %s is gone (%s), reopening it", path, strerror(EIO));
    close(fd);
    LineRetry retry;
    retry_from(&retry, monotonic_ms());
    for (;;) {
        while (monotonic_ms() < retry.due_ms)
            if (pause_seconds(1) != 0)
                return -1;
        fd = open_source(cfg, path, true);
        if (fd >= 0) {
            log_notice("source device %s is back", path);
            return fd;
        }
        retry_failed(&retry, monotonic_ms());
    }
}

NmeaReady prepare_nmea(const Config &cfg, int target_fd, char sentence[SENTENCE_SIZE],
                       int *source_fd)
{
    write_status(10);
    int fd = target_fd;
    const char *path = interface_path(cfg.source);
    if (cfg.source != cfg.target) {
        if (!path) {
            log_err("source device %u is not valid", cfg.source);
            return NMEA_FAILED;
        }
        if (lock_device(path, 5) != 0) {
            if (!stop_requested())
                log_err("source device %s is locked", path);
            return NMEA_FAILED;
        }
        while ((fd = open_source(cfg, path, false)) < 0) {
            log_notice("device %s for getting nmea is not ready, waiting 5s ...", path);
            if (pause_seconds(5) != 0) {
                unlock_device(path);
                return NMEA_FAILED;
            }
        }
    }
    log_notice("waiting for valid position(GGA message)");
    *source_fd = fd;
    for (;;) {
        GgaWait got = wait_for_gga(fd, sentence);
        if (got == GGA_TAKEN)
            break;
        if (got == GGA_STOPPED)
            return NMEA_FAILED;
        if (fd == target_fd)
            return NMEA_TARGET_GONE;
        fd = reopen_source(cfg, path, fd);
        if (fd < 0) {
            // Stopped while it was gone: nothing left to close, the lock
            // given back here.
            *source_fd = -1;
            unlock_device(path);
            return NMEA_FAILED;
        }
        *source_fd = fd;
    }
    write_status(11);
    return NMEA_READY;
}
