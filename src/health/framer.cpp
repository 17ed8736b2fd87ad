// The passive RTCM 3 framer: preamble 0xD3, six reserved bits that are
// zero, a 10-bit length, the message and a CRC-24Q over all of that. It
// only counts; the relayed bytes are never touched.
#include "health/health.h"

struct CrcTable {
    uint32_t t[256];
    constexpr CrcTable() : t()
    {
        for (unsigned i = 0; i < 256; i++) {
            uint32_t crc = i << 16;
            for (int b = 0; b < 8; b++) {
                crc <<= 1;
                if (crc & 0x1000000)
                    crc ^= 0x1864CFB;
            }
            t[i] = crc & 0xFFFFFF;
        }
    }
};
static constexpr CrcTable crc_table;

static uint32_t crc24q(const uint8_t *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++)
        crc = ((crc << 8) & 0xFFFFFF) ^ crc_table.t[(crc >> 16) ^ p[i]];
    return crc;
}

static void take_frame(RtcmCounts *c, size_t len, double now)
{
    const uint8_t *f = c->frame;
    uint32_t crc = static_cast<uint32_t>(f[3 + len]) << 16 | f[4 + len] << 8 | f[5 + len];
    if (crc24q(f, 3 + len) != crc) {
        c->crc_failures++;
        return;
    }
    c->frames++;
    c->last_frame = now;
    if (len < 2)
        return;
    unsigned type = static_cast<unsigned>(f[3]) << 4 | f[4] >> 4;
    c->types[type]++;
    // The reference station's ID follows the type in 1005 and 1006.
    if ((type == 1005 || type == 1006) && len >= 3)
        c->station = (f[4] & 0xF) << 8 | f[5];
}

void rtcm_feed(RtcmCounts *c, const uint8_t *data, size_t n, double now)
{
    for (size_t i = 0; i < n; i++) {
        uint8_t b = data[i];
        if (c->have == 0) {
            if (b == 0xD3)
                c->frame[c->have++] = b;
            continue;
        }
        if (c->have == 1 && (b & 0xFC) != 0) {
            // Not a header after all; this byte may begin the next one.
            c->have = 0;
            if (b == 0xD3)
                c->frame[c->have++] = b;
            continue;
        }
        c->frame[c->have++] = b;
        if (c->have < 3)
            continue;
        size_t len = static_cast<size_t>(c->frame[1] & 0x03) << 8 | c->frame[2];
        if (c->have == 3 + len + 3) {
            take_frame(c, len, now);
            c->have = 0;
        }
    }
}
