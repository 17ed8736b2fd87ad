// What the choice of base is made from: the caster's source table and the
// FALLBACK entries, parsed as they come; and when the table is read again.
#include "base/base.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unordered_set>

static std::string trimmed(const std::string &s)
{
    size_t from = s.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "";
    return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

// A plain decimal number ("-12.5", "7", "+0.25"): no exponent, no "nan" or
// "inf", no hex, nothing around it.
static bool decimal(const std::string &text, double *out)
{
    std::string s = trimmed(text);
    size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0, digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
        digits++;
    if (i < s.size() && s[i] == '.')
        for (i++; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
            digits++;
    if (digits == 0 || i != s.size() || digits > 30)
        return false;
    *out = strtod(s.c_str(), nullptr);
    return std::isfinite(*out);
}

bool parse_table_base(const char *line, size_t n, TableBase *out)
{
    if (n < 4 || memcmp(line, "STR;", 4) != 0)
        return false;
    std::vector<std::string> f;
    std::string rest(line + 4, n - 4);
    for (size_t at = 0;;) {
        size_t semi = rest.find(';', at);
        f.push_back(rest.substr(at, semi == std::string::npos ? std::string::npos : semi - at));
        if (semi == std::string::npos || f.size() > 17)
            break;
        at = semi + 1;
    }
    if (f.size() < 17 || f[0].empty() || f[0].find('\0') != std::string::npos)
        return false;
    std::string format;
    for (char c : f[2])
        if (c != ' ' && c != '\t')
            format += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string carrier = trimmed(f[4]);
    double lat, lon;
    if (format.compare(0, 5, "RTCM3") != 0 || (carrier != "1" && carrier != "2") ||
        trimmed(f[11]) == "1" || !decimal(f[8], &lat) || !decimal(f[9], &lon) ||
        lat < -90 || lat > 90 || lon < -180 || lon > 360 || (lat == 0 && lon == 0))
        return false;
    out->mountpoint = f[0];
    out->latitude = lat;
    out->longitude = lon > 180 ? lon - 360 : lon;
    return true;
}

std::vector<TableBase> table_bases(const std::string &table)
{
    // A big caster's table has a hundred thousand records and more: the
    // first of each mountpoint is found in one pass.
    std::vector<TableBase> out;
    std::unordered_set<std::string> seen;
    for (size_t at = 0; at < table.size();) {
        size_t end = table.find('\n', at);
        if (end == std::string::npos)
            end = table.size();
        size_t n = end - at;
        if (n > 0 && table[at + n - 1] == '\r')
            n--;
        TableBase b;
        if (parse_table_base(table.data() + at, n, &b) && seen.insert(b.mountpoint).second)
            out.push_back(b);
        at = end + 1;
    }
    return out;
}

double distance_km(double lat1, double lon1, double lat2, double lon2)
{
    const double r = 6371.0088, rad = M_PI / 180;
    double dlat = (lat2 - lat1) * rad, dlon = (lon2 - lon1) * rad;
    double h = sin(dlat / 2) * sin(dlat / 2) +
               cos(lat1 * rad) * cos(lat2 * rad) * sin(dlon / 2) * sin(dlon / 2);
    return 2 * r * asin(std::min(1.0, sqrt(h)));
}

static bool parse_fallback(const std::string &entry, const Candidate &main, Candidate *c)
{
    *c = Candidate();
    c->kind = Candidate::FALLBACK;
    std::string place = entry;
    size_t at = entry.rfind('@');
    if (at != std::string::npos) {
        std::string account = entry.substr(0, at);
        size_t colon = account.find(':');
        c->user = account.substr(0, colon);
        if (colon != std::string::npos)
            c->password = account.substr(colon + 1);
        place = entry.substr(at + 1);
        if (c->user.empty())
            return false;
    } else {
        c->user = main.user;
        c->password = main.password;
    }
    size_t slash = place.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == place.size())
        return false;
    c->mountpoint = place.substr(slash + 1);
    std::string host = place.substr(0, slash);
    size_t colon = host.rfind(':');
    c->port = 2101;
    if (colon != std::string::npos) {
        std::string port = host.substr(colon + 1);
        host.resize(colon);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        c->port = static_cast<unsigned>(atoi(port.c_str()));
        if (c->port == 0 || c->port > 65535)
            return false;
    }
    c->host = host;
    return !host.empty() && c->mountpoint.find('/') == std::string::npos;
}

std::string masked_entry(const std::string &entry)
{
    // The account is what comes before the last "@". Without one, an
    // entry may still hold an account whose host was forgotten
    // ("guest:topsecret"), alone or before a blank.
    size_t at = entry.rfind('@');
    size_t end = at;
    if (at == std::string::npos) {
        size_t blank = entry.find_first_of(" \t"), slash = entry.find('/'), colon = entry.find(':');
        // Before a "/", only a port is no secret.
        bool port = colon < slash && slash != std::string::npos &&
                    entry.find_first_not_of("0123456789", colon + 1) == slash;
        end = blank != std::string::npos ? blank
              : slash == std::string::npos ? entry.size()
              : port                       ? 0
                                           : slash;
    }
    size_t colon = entry.find(':');
    if (colon == std::string::npos || colon >= end)
        return entry;
    return entry.substr(0, colon + 1) + "***" + entry.substr(end);
}

bool same_caster(const Candidate &a, const Candidate &b)
{
    return a.host == b.host && a.port == b.port;
}

std::vector<Candidate> parse_fallbacks(const std::string &value, const Candidate &main,
                                       std::vector<std::string> *bad)
{
    std::vector<Candidate> out;
    for (size_t at = 0; at < value.size();) {
        size_t from = value.find_first_not_of(" \t", at);
        if (from == std::string::npos)
            break;
        size_t end = value.find_first_of(" \t", from);
        // A word without "/" is no whole entry: the start of a password
        // with a blank in it ("u:pass word@host/MP2"). The words up to one
        // with "/" make one entry, unusable, never two.
        bool blank_inside = false;
        while (end != std::string::npos &&
               value.substr(from, end - from).find('/') == std::string::npos) {
            size_t next = value.find_first_not_of(" \t", end);
            if (next == std::string::npos)
                break;
            end = value.find_first_of(" \t", next);
            blank_inside = true;
        }
        std::string entry = value.substr(from, end == std::string::npos ? end : end - from);
        Candidate c;
        if (!blank_inside && parse_fallback(entry, main, &c))
            out.push_back(c);
        else
            bad->push_back(masked_entry(entry));
        at = end == std::string::npos ? value.size() : end;
    }
    return out;
}

bool table_was_read(int status, const std::string &output)
{
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    return output.compare(0, 4, "STR;") == 0 || output.find("\nSTR;") != std::string::npos;
}

bool table_is_stale(double read_at, bool was_read, double now)
{
    return now - read_at > (was_read ? TABLE_MAX_AGE_S : TABLE_RETRY_S);
}
