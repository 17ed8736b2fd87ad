// The receiver's own view of the corrections, read off the GGA sentences it
// sends on the source line: a router can then show "RTK fixed, corrections
// 1.2 s old" as the receiver sees it.
#include "nmea/nmea_internal.h"

#include <cstdlib>
#include <cstring>

// A whole number field, or -1 when it is empty or not a number.
static int number_field(const char *f, size_t n)
{
    if (n == 0 || n > 6)
        return -1;
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        if (f[i] < '0' || f[i] > '9')
            return -1;
        v = v * 10 + (f[i] - '0');
    }
    return v;
}

static void take_line(ReceiverView *v, const char *s, size_t n, double now)
{
    if (n > 0 && s[n - 1] == '\r')
        n--;
    // Only a sentence whose checksum is there and right.
    if (!is_gnss_gga(s, n) || !has_nmea_checksum(s, n) || check_nmea_checksum(s, n) != 0)
        return;
    const char *star = static_cast<const char *>(memchr(s, '*', n));
    const char *field[15] = {};
    size_t len[15] = {};
    const char *p = s;
    for (int i = 0; i < 15 && p <= star; i++) {
        const char *end = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(star - p)));
        if (!end)
            end = star;
        field[i] = p;
        len[i] = static_cast<size_t>(end - p);
        p = end + 1;
    }
    int quality = field[6] ? number_field(field[6], len[6]) : -1;
    if (quality < 0)
        return;
    v->fix_quality = quality;
    v->satellites = field[7] ? number_field(field[7], len[7]) : -1;
    v->age = -1;
    if (field[13] && len[13] > 0 && len[13] < 16) {
        char text[16];
        memcpy(text, field[13], len[13]);
        text[len[13]] = '\0';
        char *end;
        double age = strtod(text, &end);
        if (*end == '\0' && age >= 0)
            v->age = age;
    }
    v->last_gga = now;
}

void watch_receiver(ReceiverView *v, const char *data, size_t n, double now)
{
    for (size_t i = 0; i < n; i++) {
        char c = data[i];
        if (c == '$')
            v->have = 0;  // a sentence starts here, whatever came before
        if (c == '\n') {
            take_line(v, v->line, v->have, now);
            v->have = 0;
        } else if (v->have < sizeof v->line) {
            v->line[v->have++] = c;
        }
    }
}
