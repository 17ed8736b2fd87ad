#include "nmea/nmea_internal.h"
#include "common/log.h"
#include "devices/devices.h"
#include "settings/settings.h"
#include "common/service.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int make_gga(char *out, size_t size, const char *latitude, const char *longitude,
             const char *height, const tm &utc)
{
    double lat = strtod(latitude, nullptr);
    double lon = strtod(longitude, nullptr);
    double h = strtod(height, nullptr);
    int n = snprintf(out, size, "$GPGGA,%02d%02d%02d.00,%09.4f,%c,%010.4f,%c,0,00,,%.1f,M,,M,,",
                     utc.tm_hour, utc.tm_min, utc.tm_sec, fabs(lat), lat > 0 ? 'N' : 'S',
                     fabs(lon), lon > 0 ? 'E' : 'W', h);
    // "*XX\r\n" and the terminator must fit too; a cut sentence would carry
    // a wrong checksum.
    if (n < 0 || static_cast<size_t>(n) + 6 > size)
        return -1;
    unsigned char sum = 0;
    for (int i = 1; i < n; i++)
        sum ^= static_cast<unsigned char>(out[i]);
    n += snprintf(out + n, size - n, "*%02X\r\n", sum);
    return n;
}

struct GeneratorArgs {
    const Config *cfg;
    int master;
};

static void *gga_generator(void *arg)
{
    const Config &cfg = *static_cast<GeneratorArgs *>(arg)->cfg;
    int master = static_cast<GeneratorArgs *>(arg)->master;
    char sentence[SENTENCE_SIZE];
    bool refused = false;
    bool failing = false;
    while (!stop_requested()) {
        time_t now = time(nullptr);
        tm utc;
        gmtime_r(&now, &utc);
        int len = make_gga(sentence, sizeof sentence, cfg.latitude.c_str(),
                           cfg.longitude.c_str(), cfg.height.c_str(), utc);
        if (len < 0) {
            if (!refused)
                log_err("position settings do not fit a GGA sentence, none is generated");
            refused = true;
        } else {
            // The master is non-blocking: while nobody reads "/dev/nmea_gen"
            // the sentence is dropped rather than the thread held.
            ssize_t w = write(master, sentence, static_cast<size_t>(len));
            if (w != len && !failing)
                log_err("write nmea to rtkfeedd has failed(wrote %d B from %d B)",
                        w < 0 ? 0 : static_cast<int>(w), len);
            failing = w != len;
        }
        sleep(1);
    }
    remove_link("/dev/nmea_gen");
    close(master);
    return nullptr;
}

int start_generator(const Config *cfg, pthread_t *thread)
{
    static GeneratorArgs args;
    args.cfg = cfg;
    args.master = open_pty_link("/dev/nmea_gen");
    if (args.master < 0)
        return -1;
    if (pthread_create(thread, nullptr, gga_generator, &args) != 0) {
        remove_link("/dev/nmea_gen");
        close(args.master);
        return -1;
    }
    return 0;
}
