// The receiver's own view of the corrections, read off the GGA sentences it
// sends on the source line: a router can then show "RTK fixed, corrections
// 1.2 s old" as the receiver sees it.
#include "nmea/nmea_internal.h"

#include <cmath>
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

static double degrees_of(double ddmm)
{
    double a = fabs(ddmm), degrees = floor(a / 100) + fmod(a, 100) / 60;
    return ddmm < 0 ? -degrees : degrees;
}

double ddmm_degrees(const char *text)
{
    char *end;
    double v = strtod(text, &end);
    return end == text || !std::isfinite(v) ? NAN : degrees_of(v);
}

// A field as a number, or NaN when it is empty or not one.
static double number(const char *f, size_t n)
{
    char text[24];
    if (n == 0 || n >= sizeof text)
        return NAN;
    memcpy(text, f, n);
    text[n] = '\0';
    char *end;
    double v = strtod(text, &end);
    return *end == '\0' && std::isfinite(v) ? v : NAN;
}

// The position of a GGA with a fix, from its fields 2 to 5, 9 and 11.
static void take_position(ReceiverView *v, const char *const field[15], const size_t len[15])
{
    if (!field[5] || len[3] != 1 || len[5] != 1)
        return;
    double lat = number(field[2], len[2]), lon = number(field[4], len[4]);
    if (std::isnan(lat) || std::isnan(lon))
        return;
    lat = degrees_of(lat);
    lon = degrees_of(lon);
    if (field[3][0] == 'S')
        lat = -lat;
    if (field[5][0] == 'W')
        lon = -lon;
    if (fabs(lat) > 90 || fabs(lon) > 180)
        return;
    double altitude = field[9] ? number(field[9], len[9]) : NAN;
    double separation = field[11] ? number(field[11], len[11]) : NAN;
    v->latitude = lat;
    v->longitude = lon;
    v->height = (std::isnan(altitude) ? 0 : altitude) + (std::isnan(separation) ? 0 : separation);
    v->positions++;
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
    double age = field[13] ? number(field[13], len[13]) : NAN;
    v->age = age >= 0 ? age : -1;
    v->last_gga = now;
    if (quality >= 1)
        take_position(v, field, len);
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
