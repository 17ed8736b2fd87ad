#include "ntrip/ntrip.h"

#include <cstring>

bool gga_qualifies(const char *line, size_t n)
{
    // "$ttGGA," ... "*hh": any talker, nothing after the checksum.
    if (n < 10 || line[0] != '$' || memcmp(line + 3, "GGA,", 4) != 0 || line[n - 3] != '*')
        return false;
    for (int i = 1; i <= 2; i++)
        if (line[i] < 'A' || line[i] > 'Z')
            return false;
    unsigned sum = 0;
    for (size_t i = 1; i < n - 3; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c >= 0x7f || c == '*' || c == '$')
            return false;
        sum ^= c;
    }
    int hi = hex_value(line[n - 2]), lo = hex_value(line[n - 1]);
    if (hi < 0 || lo < 0 || static_cast<unsigned>(hi * 16 + lo) != sum)
        return false;
    // Fields 2 to 6: latitude, N/S, longitude, E/W, quality.
    const char *field[7] = {};
    const char *p = line + 7;
    const char *end = line + n - 3;
    field[1] = p;
    for (int k = 2; k <= 6; k++) {
        const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
        if (!comma)
            return false;
        p = comma + 1;
        field[k] = p;
    }
    const char *after_quality = static_cast<const char *>(
        memchr(field[6], ',', static_cast<size_t>(end - field[6])));
    size_t quality_len = static_cast<size_t>((after_quality ? after_quality : end) - field[6]);
    bool quality = quality_len > 0 && strspn(field[6], "0123456789") >= quality_len &&
                   !(quality_len == 1 && field[6][0] == '0');
    return field[2][0] != ',' && (field[3][0] == 'N' || field[3][0] == 'S') && field[3][1] == ',' &&
           field[4][0] != ',' && (field[5][0] == 'E' || field[5][0] == 'W') &&
           field[5][1] == ',' && quality;
}

void gga_feed(GgaPicker *p, const char *data, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        char c = data[i];
        if (c == '$') {  // a sentence starts, whatever came before
            p->have = 0;
            p->too_long = false;
        }
        if (c == '\n' || c == '\r') {
            if (!p->too_long && gga_qualifies(p->line, p->have))
                p->latest.assign(p->line, p->have);
            p->have = 0;
            p->too_long = false;
            continue;
        }
        if (p->have < sizeof p->line)
            p->line[p->have++] = c;
        else
            p->too_long = true;
    }
}

std::string gga_due(GgaPicker *p, long long now_ms)
{
    if (p->latest.empty())
        return "";
    if (p->last_sent_ms >= 0 && now_ms - p->last_sent_ms < p->interval_ms)
        return "";
    std::string line = p->latest + "\r\n";
    p->latest.clear();
    p->last_sent_ms = now_ms;
    return line;
}
