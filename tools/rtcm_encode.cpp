#include "rtcm_encode.h"
#include "rtcm.h"

#include <algorithm>
#include <cmath>
#include <vector>

static const double light = 299792458.0;
static const double light_ms = light / 1000;  // metres in a millisecond of light

// The carrier's wavelength of a satellite on L1 (0) or L2 (1); 0 for a
// GLONASS satellite whose frequency channel is not known.
static double wavelength(const SatObs &s, int f)
{
    if (s.system == 'G')
        return light / (f == 0 ? 1575.42e6 : 1227.60e6);
    if (s.channel == no_channel)
        return 0;
    return light / (f == 0 ? 1602e6 + s.channel * 0.5625e6 : 1246e6 + s.channel * 0.4375e6);
}

namespace {

struct Bits {
    std::string bytes;
    unsigned n = 0;
    void put(uint64_t v, unsigned len)
    {
        for (unsigned i = 0; i < len; i++, n++) {
            if (n % 8 == 0)
                bytes += '\0';
            if (v >> (len - 1 - i) & 1)
                bytes.back() = static_cast<char>(bytes.back() | (0x80 >> (n % 8)));
        }
    }
    void put_signed(int64_t v, unsigned len) { put(static_cast<uint64_t>(v) & ((uint64_t(1) << len) - 1), len); }
    // A value in units of scale, rounded, as a signed field.
    void put_scaled(double v, double scale, unsigned len) { put_signed(llround(v / scale), len); }
};

}  // namespace

std::string encode_station(unsigned station, const double xyz[3], double antenna_height,
                           bool glonass)
{
    bool with_height = antenna_height != 0;
    Bits b;
    b.put(with_height ? 1006 : 1005, 12);
    b.put(station, 12);
    b.put(0, 6);  // ITRF realisation year
    b.put(1, 1);  // GPS
    b.put(glonass, 1);
    b.put(0, 2);  // Galileo, reference station indicator
    b.put_scaled(xyz[0], 0.0001, 38);
    b.put(0, 2);  // single receiver oscillator, reserved
    b.put_scaled(xyz[1], 0.0001, 38);
    b.put(0, 2);  // quarter cycle indicator
    b.put_scaled(xyz[2], 0.0001, 38);
    if (with_height)
        b.put(static_cast<uint64_t>(llround(antenna_height / 0.0001)) & 0xFFFF, 16);
    return rtcm_frame(b.bytes);
}

unsigned lock_indicator(double ms)
{
    unsigned i = 0;
    for (double t = 32; i < 15 && ms >= t; t *= 2)
        i++;
    return i;
}

std::string encode_msm4(unsigned station, const ObsEpoch &epoch, char system, MsmArcs *arcs,
                        bool multiple)
{
    static const unsigned signal_id[2] = {2, 9};  // 1C and 2P, for both systems
    double t = epoch.time.week * 604800.0 + epoch.time.tow;
    struct Cell {
        int sat, freq;
        double fine_pr, fine_ph;  // ms, or NaN
        unsigned lock;
    };
    std::vector<const SatObs *> sats;
    std::vector<double> rough;
    std::vector<Cell> cells;
    uint64_t sat_mask = 0;
    for (const SatObs &s : epoch.sats) {
        double code = s.code[0] != 0 ? s.code[0] : s.code[1];
        // The rough range spans 0 to 255 ms: beyond it is no satellite's.
        if (s.system != system || !(code > 0 && code / light_ms < 255) ||
            (sat_mask >> (64 - s.prn) & 1))
            continue;
        sat_mask |= uint64_t(1) << (64 - s.prn);
        sats.push_back(&s);
    }
    // The satellite mask orders them by prn.
    std::sort(sats.begin(), sats.end(), [](const SatObs *a, const SatObs *b) { return a->prn < b->prn; });
    for (size_t i = 0; i < sats.size(); i++) {
        const SatObs &s = *sats[i];
        double code_ms = (s.code[0] != 0 ? s.code[0] : s.code[1]) / light_ms;
        double r = std::round(code_ms * 1024) / 1024;
        rough.push_back(r);
        for (int f = 0; f < 2; f++) {
            if (s.code[f] == 0 && s.phase[f] == 0)
                continue;
            Cell c = {static_cast<int>(i), f, NAN, NAN, 0};
            if (s.code[f] != 0)
                c.fine_pr = s.code[f] / light_ms - r;
            MsmArcs::Arc &arc = arcs->arcs[((system == 'R' ? 100 : 0) + s.prn) * 2 + f];
            double w = wavelength(s, f);
            if (s.phase[f] != 0 && w > 0) {
                double ref = s.code[f] != 0 ? s.code[f] : s.code[0] + s.code[1];
                double aligned = s.phase[f] - arc.cycles;
                // A new arc: lost lock, a gap of over a minute, or a phase
                // that no longer follows the range.
                if (arc.start < 0 || (s.lli[f] & 1) || t - arc.last > 60 ||
                    std::fabs(aligned * w - ref) > 1000) {
                    arc.cycles = std::round(s.phase[f] - ref / w);
                    arc.start = t;
                    aligned = s.phase[f] - arc.cycles;
                }
                arc.last = t;
                c.fine_ph = aligned * w / light_ms - r;
                c.lock = lock_indicator((t - arc.start) * 1000);
            }
            cells.push_back(c);
        }
    }
    Bits b;
    b.put(system == 'R' ? 1084 : 1074, 12);
    b.put(station, 12);
    if (system == 'R') {
        // GLONASS time: UTC (18 leap seconds after GPS time) + 3 h, as
        // the day of the week and the milliseconds of the day.
        int64_t ms = llround(epoch.time.tow * 1000) - 18000 + 10800000;
        ms = (ms % 604800000 + 604800000) % 604800000;
        b.put(static_cast<uint64_t>(ms / 86400000), 3);
        b.put(static_cast<uint64_t>(ms % 86400000), 27);
    } else {
        b.put(static_cast<uint64_t>(llround(epoch.time.tow * 1000)) % 604800000, 30);
    }
    b.put(multiple ? 1 : 0, 1);
    b.put(0, 3 + 7 + 2 + 2 + 1 + 3);  // IODS, reserved, clock steering and
                                      // external clock, smoothing
    b.put(sat_mask, 64);
    b.put(uint64_t(1) << (32 - signal_id[0]) | uint64_t(1) << (32 - signal_id[1]), 32);
    for (size_t i = 0; i < sats.size(); i++)
        for (int f = 0; f < 2; f++) {
            bool here = false;
            for (const Cell &c : cells)
                here = here || (c.sat == static_cast<int>(i) && c.freq == f);
            b.put(here, 1);
        }
    for (double r : rough)
        b.put(static_cast<uint64_t>(std::floor(r)), 8);
    for (double r : rough)
        b.put(static_cast<uint64_t>(llround((r - std::floor(r)) * 1024)), 10);
    auto fine = [&](double v, double scale, unsigned len) {
        int64_t limit = int64_t(1) << (len - 1);
        int64_t n = std::isnan(v) ? -limit : llround(v / scale);
        b.put_signed(n > -limit && n < limit ? n : -limit, len);
    };
    for (const Cell &c : cells)
        fine(c.fine_pr, std::ldexp(1.0, -24), 15);
    for (const Cell &c : cells)
        fine(c.fine_ph, std::ldexp(1.0, -29), 22);
    for (const Cell &c : cells)
        b.put(c.lock, 4);
    for (size_t i = 0; i < cells.size(); i++)
        b.put(0, 1);  // half-cycle ambiguity
    for (size_t i = 0; i < cells.size(); i++)
        b.put(0, 6);  // carrier to noise: not in the RINEX files
    return rtcm_frame(b.bytes);
}

static unsigned ura_index(double metres)
{
    static const double ura[] = {2.4, 3.4, 4.85, 6.85, 9.65, 13.65, 24, 48,
                                 96, 192, 384, 768, 1536, 3072, 6144};
    unsigned i = 0;
    while (i < 15 && metres > ura[i])
        i++;
    return i;
}

std::string encode_1019(const GpsEph &e, int week)
{
    const double sc = M_PI;  // the message's angles are semicircles
    Bits b;
    b.put(1019, 12);
    b.put(static_cast<uint64_t>(e.prn), 6);
    b.put(static_cast<uint64_t>(week) % 1024, 10);
    b.put(ura_index(e.accuracy), 4);
    b.put(static_cast<uint64_t>(e.codes_l2) & 3, 2);
    b.put_scaled(e.idot / sc, std::ldexp(1.0, -43), 14);
    b.put(static_cast<uint64_t>(e.iode) & 0xFF, 8);
    b.put(static_cast<uint64_t>(llround(e.toc.tow / 16)) & 0xFFFF, 16);
    b.put_scaled(e.af2, std::ldexp(1.0, -55), 8);
    b.put_scaled(e.af1, std::ldexp(1.0, -43), 16);
    b.put_scaled(e.af0, std::ldexp(1.0, -31), 22);
    b.put(static_cast<uint64_t>(e.iodc) & 0x3FF, 10);
    b.put_scaled(e.crs, std::ldexp(1.0, -5), 16);
    b.put_scaled(e.delta_n / sc, std::ldexp(1.0, -43), 16);
    b.put_scaled(e.m0 / sc, std::ldexp(1.0, -31), 32);
    b.put_scaled(e.cuc, std::ldexp(1.0, -29), 16);
    b.put(static_cast<uint64_t>(llround(e.e / std::ldexp(1.0, -33))), 32);
    b.put_scaled(e.cus, std::ldexp(1.0, -29), 16);
    b.put(static_cast<uint64_t>(llround(e.sqrt_a / std::ldexp(1.0, -19))), 32);
    b.put(static_cast<uint64_t>(llround(e.toe / 16)) & 0xFFFF, 16);
    b.put_scaled(e.cic, std::ldexp(1.0, -29), 16);
    b.put_scaled(e.omega0 / sc, std::ldexp(1.0, -31), 32);
    b.put_scaled(e.cis, std::ldexp(1.0, -29), 16);
    b.put_scaled(e.i0 / sc, std::ldexp(1.0, -31), 32);
    b.put_scaled(e.crc, std::ldexp(1.0, -5), 16);
    b.put_scaled(e.omega / sc, std::ldexp(1.0, -31), 32);
    b.put_scaled(e.omega_dot / sc, std::ldexp(1.0, -43), 24);
    b.put_scaled(e.tgd, std::ldexp(1.0, -31), 8);
    b.put(static_cast<uint64_t>(e.health) & 0x3F, 6);
    b.put(static_cast<uint64_t>(e.l2p_flag) & 1, 1);
    b.put(e.fit > 4 ? 1 : 0, 1);
    return rtcm_frame(b.bytes);
}

int week_nearest(double tow, double now_gps)
{
    double week = std::floor(now_gps / 604800), now_tow = now_gps - week * 604800;
    if (tow - now_tow > 302400)
        week -= 1;
    else if (now_tow - tow > 302400)
        week += 1;
    return static_cast<int>(week);
}

double gps_seconds(double unix_time)
{
    return unix_time - 315964800.0 + 18;
}
