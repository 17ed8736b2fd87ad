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

int extract_gga(const char *burst, size_t len, char *out, size_t out_size)
{
    const char *start = static_cast<const char *>(memmem(burst, len, "$GPGGA", 6));
    if (!start)
        return -1;
    size_t rest = len - static_cast<size_t>(start - burst);
    size_t n = 0;
    while (n < rest && start[n] != '\r' && start[n] != '\n' && start[n] != '\0')
        n++;
    // A sentence that would not fit the buffer is no sentence at all.
    if (n >= out_size)
        return -1;
    if (!memchr(start, '*', n) || (!memchr(start, 'N', n) && !memchr(start, 'S', n)))
        return -1;
    memcpy(out, start, n);
    out[n] = '\0';
    return 0;
}

int wait_for_gga(int fd, char out[SENTENCE_SIZE])
{
    // A receiver without a fix never sends an accepted sentence, so the
    // stop request is the only other way out.
    while (!stop_requested()) {
        long n = next_burst(fd, acquisition_buf, sizeof acquisition_buf - 1, 2000, 400);
        if (n < 0) {
            log_err("select: %s", strerror(errno));
            sleep(1);
        } else if (n > 0 &&
                   extract_gga(acquisition_buf, static_cast<size_t>(n), out, SENTENCE_SIZE) == 0) {
            return 0;
        }
    }
    return -1;
}

int prepare_nmea(const Config &cfg, int target_fd, char sentence[SENTENCE_SIZE], int *source_fd)
{
    write_status(10);
    int fd = target_fd;
    const char *path = interface_path(cfg.source);
    if (cfg.source != cfg.target) {
        if (!path) {
            log_err("source device %u is not valid", cfg.source);
            return -1;
        }
        if (lock_device(path, 5) != 0) {
            if (!stop_requested())
                log_err("source device %s is locked", path);
            return -1;
        }
        while ((fd = open_serial(path, cfg.source_baudrate, cfg.source_databits,
                                 cfg.source_parity.c_str(), cfg.source_stopbits)) < 0) {
            log_notice("device %s for getting nmea is not ready, waiting 5s ...", path);
            if (pause_seconds(5) != 0) {
                unlock_device(path);
                return -1;
            }
        }
    }
    log_notice("waiting for valid position(GGA message)");
    *source_fd = fd;
    if (wait_for_gga(fd, sentence) != 0)
        return -1;
    write_status(11);
    return 0;
}
