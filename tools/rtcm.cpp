#include "rtcm.h"

#include <cstdio>

uint32_t crc24q(const uint8_t *data, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= static_cast<uint32_t>(data[i]) << 16;
        for (int b = 0; b < 8; b++) {
            crc <<= 1;
            if (crc & 0x1000000)
                crc ^= 0x1864CFB;
        }
    }
    return crc & 0xFFFFFF;
}

static const struct {
    int type;
    size_t length;
} cycle[] = {{1005, 19}, {1074, 164}, {1084, 122}, {1094, 140}, {1006, 21}};

std::string make_frame(uint64_t seq)
{
    const auto &kind = cycle[seq % (sizeof cycle / sizeof cycle[0])];
    std::string msg(kind.length, '\0');
    // Message number (12 bits), station 42 (12 bits), then the sequence.
    msg[0] = static_cast<char>(kind.type >> 4);
    msg[1] = static_cast<char>(((kind.type & 0xF) << 4) | 0);
    msg[2] = 42;
    for (int i = 0; i < 8; i++)
        msg[3 + i] = static_cast<char>(seq >> (56 - 8 * i));
    uint32_t x = static_cast<uint32_t>(seq) * 2654435761u + 1;
    for (size_t i = 11; i < msg.size(); i++) {
        x = x * 1103515245u + 12345u;
        msg[i] = static_cast<char>(x >> 16);
    }
    return rtcm_frame(msg);
}

std::string rtcm_frame(const std::string &message)
{
    std::string f;
    f += '\xD3';
    f += static_cast<char>(message.size() >> 8 & 0x03);
    f += static_cast<char>(message.size() & 0xFF);
    f += message;
    uint32_t crc = crc24q(reinterpret_cast<const uint8_t *>(f.data()), f.size());
    f += static_cast<char>(crc >> 16);
    f += static_cast<char>(crc >> 8);
    f += static_cast<char>(crc);
    return f;
}

void RtcmScanner::take(const std::string &frame)
{
    frames++;
    const uint8_t *m = reinterpret_cast<const uint8_t *>(frame.data()) + 3;
    size_t len = frame.size() - 6;
    int type = len >= 2 ? (m[0] << 4) | (m[1] >> 4) : -1;
    types[type]++;
    // Frames of the generated stream carry station 42 and their sequence.
    if (len >= 11 && m[2] == 42 && (m[1] & 0xF) == 0) {
        uint64_t seq = 0;
        for (int i = 0; i < 8; i++)
            seq = (seq << 8) | m[3 + i];
        if (have_seq && seq != last_seq + 1)
            out_of_order++;
        have_seq = true;
        last_seq = seq;
    }
}

void RtcmScanner::feed(const uint8_t *data, size_t n)
{
    bytes += n;
    pending.append(reinterpret_cast<const char *>(data), n);
    size_t at = 0;
    while (at < pending.size()) {
        if (static_cast<uint8_t>(pending[at]) != 0xD3) {
            skipped++;
            at++;
            continue;
        }
        if (pending.size() - at < 3)
            break;
        size_t len = ((static_cast<uint8_t>(pending[at + 1]) & 0x03) << 8) |
                     static_cast<uint8_t>(pending[at + 2]);
        if (pending.size() - at < len + 6)
            break;
        const uint8_t *f = reinterpret_cast<const uint8_t *>(pending.data()) + at;
        uint32_t want = (static_cast<uint32_t>(f[len + 3]) << 16) | (f[len + 4] << 8) | f[len + 5];
        if (crc24q(f, len + 3) != want) {
            // A damaged frame right after a good one is a failure; before the
            // first good frame (a stream joined mid-frame) it is only noise.
            if (synced)
                crc_failures++;
            synced = false;
            skipped++;
            at++;
            continue;
        }
        synced = true;
        take(pending.substr(at, len + 6));
        at += len + 6;
    }
    pending.erase(0, at);
}

std::string RtcmScanner::summary() const
{
    char head[200];
    snprintf(head, sizeof head,
             "frames %llu bytes %llu crc_failures %llu skipped %llu out_of_order %llu types",
             static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bytes),
             static_cast<unsigned long long>(crc_failures),
             static_cast<unsigned long long>(skipped),
             static_cast<unsigned long long>(out_of_order));
    std::string out = head;
    for (const auto &t : types)
        out += " " + std::to_string(t.first) + ":" + std::to_string(t.second);
    return out;
}
