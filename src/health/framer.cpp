// The passive RTCM 3 framer: preamble 0xD3, six reserved bits that are
// zero, a 10-bit length, the message and a CRC-24Q over all of that. It
// only counts; the relayed bytes are never touched.
#include "health/health.h"

#include <cstring>

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

static bool frame_is_whole(const RtcmCounts *c, size_t len)
{
    const uint8_t *f = c->frame;
    uint32_t crc = static_cast<uint32_t>(f[3 + len]) << 16 | f[4 + len] << 8 | f[5 + len];
    return crc24q(f, 3 + len) == crc;
}

bool rtcm_frames_whole(const char *buf, size_t n)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(buf);
    size_t at = 0;
    while (at < n) {
        if (n - at < 6 || p[at] != 0xD3 || (p[at + 1] & 0xFC) != 0)
            return false;
        size_t len = static_cast<size_t>(p[at + 1] & 0x03) << 8 | p[at + 2];
        if (n - at < 6 + len)
            return false;  // still arriving
        const uint8_t *crc = p + at + 3 + len;
        if (crc24q(p + at, 3 + len) != (static_cast<uint32_t>(crc[0]) << 16 | crc[1] << 8 | crc[2]))
            return false;
        at += 6 + len;
    }
    return n > 0;
}

bool rtcm_burst_ends_whole(const char *buf, size_t n, const void *counts)
{
    const RtcmCounts *c = static_cast<const RtcmCounts *>(counts);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(buf);
    size_t at = 0;
    if (c->have > 0) {
        // The frame the stream is in: what came of it before, then the
        // burst's first bytes, up to its end.
        uint8_t f[sizeof c->frame];
        size_t have = c->have;
        memcpy(f, c->frame, have);
        while (have < 3 && at < n)
            f[have++] = p[at++];
        if (have < 3 || f[0] != 0xD3 || (f[1] & 0xFC) != 0)
            return false;
        size_t len = static_cast<size_t>(f[1] & 0x03) << 8 | f[2];
        if (have + (n - at) < 6 + len)
            return false;  // still arriving
        memcpy(f + have, p + at, 6 + len - have);
        at += 6 + len - have;
        const uint8_t *crc = f + 3 + len;
        if (crc24q(f, 3 + len) != (static_cast<uint32_t>(crc[0]) << 16 | crc[1] << 8 | crc[2]))
            return false;
        if (at == n)
            return true;
    }
    return rtcm_frames_whole(buf + at, n - at);
}

// len bits of a message from bit pos on, most significant first.
static uint64_t bits(const uint8_t *m, unsigned pos, unsigned len)
{
    uint64_t v = 0;
    for (unsigned i = pos; i < pos + len; i++)
        v = v << 1 | ((m[i / 8] >> (7 - i % 8)) & 1);
    return v;
}

// The antenna reference point of a 1005/1006: ECEF X, Y and Z, each 38
// bits signed in 0.1 mm, at bits 34, 74 and 114.
static void take_reference_point(RtcmCounts *c, const uint8_t *m)
{
    const unsigned at[3] = {34, 74, 114};
    for (int i = 0; i < 3; i++) {
        int64_t v = static_cast<int64_t>(bits(m, at[i], 38));
        if (v & (int64_t(1) << 37))
            v -= int64_t(1) << 38;
        c->arp[i] = static_cast<double>(v) * 0.0001;
    }
    c->have_arp = true;
}

static void take_frame(RtcmCounts *c, size_t len, double now)
{
    const uint8_t *f = c->frame;
    c->frames++;
    c->last_frame = now;
    if (len < 2)
        return;
    unsigned type = static_cast<unsigned>(f[3]) << 4 | f[4] >> 4;
    c->types[type]++;
    // The reference station's ID follows the type in 1005 and 1006.
    if ((type == 1005 || type == 1006) && len >= 3)
        c->station = (f[4] & 0xF) << 8 | f[5];
    if ((type == 1005 || type == 1006) && len >= 19)
        take_reference_point(c, f + 3);
}

// Lets n bytes from the front of what is gathered go. A failed frame whose
// bytes all went by without a whole frame among them was a damaged frame;
// one with a whole frame among them began at a 0xD3 inside another frame's
// data, a false header that the caster never sent.
static void let_go(RtcmCounts *c, size_t n)
{
    if (c->failed_left == 0)
        return;
    if (n >= c->failed_left) {
        c->crc_failures++;
        c->failed_left = 0;
    } else {
        c->failed_left -= n;
    }
}

static void drop_front(RtcmCounts *c, size_t n)
{
    memmove(c->frame, c->frame + n, c->have - n);
    c->have -= n;
    let_go(c, n);
}

// Takes every whole frame that what is gathered holds. After a failed CRC
// the search for a preamble goes on at the byte after the failed one, not
// after the length that it claimed: a 0xD3 0x00 inside a message, in a
// stream joined mid-frame, would otherwise swallow the real frames behind
// it.
static void scan(RtcmCounts *c, double now)
{
    while (c->have > 0) {
        if (c->frame[0] != 0xD3) {
            const void *next = memchr(c->frame, 0xD3, c->have);
            drop_front(c, next ? static_cast<size_t>(static_cast<const uint8_t *>(next) - c->frame)
                               : c->have);
            continue;
        }
        if (c->have >= 2 && (c->frame[1] & 0xFC) != 0) {
            drop_front(c, 1);  // reserved bits set: no header after all
            continue;
        }
        if (c->have < 3)
            return;
        size_t len = static_cast<size_t>(c->frame[1] & 0x03) << 8 | c->frame[2];
        if (c->have < 3 + len + 3)
            return;
        if (frame_is_whole(c, len)) {
            c->failed_left = 0;
            take_frame(c, len, now);
            drop_front(c, 3 + len + 3);
        } else {
            // One that begins inside a failed frame is part of its damage.
            if (c->failed_left == 0)
                c->failed_left = 3 + len + 3;
            drop_front(c, 1);
        }
    }
}

void rtcm_feed(RtcmCounts *c, const uint8_t *data, size_t n, double now)
{
    // A header's bytes one at a time, then the rest of its frame at once:
    // what is gathered never outgrows one frame. Between calls to scan, three
    // or more bytes gathered are always the start of a frame still to come.
    for (size_t i = 0; i < n;) {
        if (c->have == 0) {
            // Between frames: straight to the next preamble.
            const void *next = memchr(data + i, 0xD3, n - i);
            size_t skip = next ? static_cast<size_t>(static_cast<const uint8_t *>(next) - data) - i
                               : n - i;
            let_go(c, skip);
            i += skip;
            if (i == n)
                return;
        }
        size_t take = 1;
        if (c->have >= 3) {
            size_t len = static_cast<size_t>(c->frame[1] & 0x03) << 8 | c->frame[2];
            take = 3 + len + 3 - c->have;
            if (take > n - i)
                take = n - i;
        }
        memcpy(c->frame + c->have, data + i, take);
        c->have += take;
        i += take;
        scan(c, now);
    }
}
