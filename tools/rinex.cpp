#include "rinex.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
static long days_from_civil(long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

GpsTime gps_time(int year, int month, int day, int hour, int minute, double second)
{
    long days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                days_from_civil(1980, 1, 6);
    GpsTime t;
    t.week = static_cast<int>(days / 7);
    t.tow = static_cast<double>(days % 7) * 86400 + hour * 3600 + minute * 60 + second;
    return t;
}

namespace {

struct Reader {
    std::vector<std::string> lines;
    size_t at = 0;
    std::string name;
    std::string *error;

    explicit Reader(const std::string &text, const std::string &n, std::string *e)
        : name(n), error(e)
    {
        for (size_t from = 0; from < text.size();) {
            size_t end = text.find('\n', from);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(from, end - from);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            from = end + 1;
        }
    }
    bool more() const { return at < lines.size(); }
    const std::string &next() { return lines[at++]; }
    int fail(const char *why)
    {
        *error = name + ":" + std::to_string(at) + ": " + why;
        return -1;
    }
};

std::string col(const std::string &l, size_t from, size_t n)
{
    return from >= l.size() ? std::string() : l.substr(from, n);
}

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// A number of a RINEX field (D exponents too); false when blank or not one.
bool number(const std::string &field, double *out)
{
    std::string s = trim(field);
    if (s.empty() || s.size() > 40)
        return false;
    for (char &c : s)
        if (c == 'D' || c == 'd')
            c = 'E';
    char *end;
    *out = strtod(s.c_str(), &end);
    return *end == '\0' && std::isfinite(*out);
}

bool integer(const std::string &field, int *out)
{
    double v;
    if (!number(field, &v) || v != std::floor(v) || std::fabs(v) > 1e6)
        return false;
    *out = static_cast<int>(v);
    return true;
}

std::string label(const std::string &l)
{
    return trim(col(l, 60, 20));
}

// Where L1/L2 code and phase are among an epoch's observation types.
struct Layout {
    int ntypes = 0;
    int code[2] = {-1, -1}, phase[2] = {-1, -1};
};

void place(Layout *lay, const std::vector<std::string> &types, double version)
{
    lay->ntypes = static_cast<int>(types.size());
    for (int k = 0; k < lay->ntypes; k++) {
        const std::string &t = types[static_cast<size_t>(k)];
        if (t.size() < 2 || (t[1] != '1' && t[1] != '2'))
            continue;
        int f = t[1] - '1';
        // Version 2: C1 before P1 on L1, P2 before C2 on L2.
        bool code = t[0] == 'C' || t[0] == 'P';
        int *slot = code ? &lay->code[f] : t[0] == 'L' ? &lay->phase[f] : nullptr;
        if (!slot)
            continue;
        bool better = version < 3 && code && ((f == 0 && t[0] == 'C') || (f == 1 && t[0] == 'P'));
        if (*slot < 0 || better)
            *slot = k;
    }
}

// One satellite's observations: count fields of 16 characters from the
// lines handed in (one line of a version 3 epoch, or up to five fields a
// line in version 2).
void take_values(const std::vector<std::string> &fields, const Layout &lay, SatObs *s)
{
    for (int f = 0; f < 2; f++) {
        double v;
        if (lay.code[f] >= 0 && number(col(fields[static_cast<size_t>(lay.code[f])], 0, 14), &v))
            s->code[f] = v;
        if (lay.phase[f] >= 0) {
            const std::string &field = fields[static_cast<size_t>(lay.phase[f])];
            if (number(col(field, 0, 14), &v))
                s->phase[f] = v;
            int lli = 0;
            if (integer(col(field, 14, 1), &lli))
                s->lli[f] = lli;
        }
    }
}

}  // namespace

int parse_obs(const std::string &text, const std::string &name, ObsFile *out, std::string *error)
{
    Reader r(text, name, error);
    *out = ObsFile();
    if (!r.more() || label(r.lines[0]) != "RINEX VERSION / TYPE" ||
        !number(col(r.lines[0], 0, 9), &out->version) || col(r.lines[0], 20, 1) != "O")
        return r.fail("not a RINEX observation file");
    // Observation types by system: version 2 has one list for all ('G').
    std::map<char, std::vector<std::string>> types;
    std::map<char, int> ntypes;
    std::map<int, int> channel;  // GLONASS slot to frequency channel
    char listing = 0;
    for (;;) {
        if (!r.more())
            return r.fail("no END OF HEADER");
        const std::string &l = r.next();
        std::string what = label(l);
        if (what == "END OF HEADER")
            break;
        if (what == "MARKER NAME")
            out->marker = trim(col(l, 0, 60));
        if (what == "APPROX POSITION XYZ")
            for (int i = 0; i < 3; i++)
                number(col(l, static_cast<size_t>(14 * i), 14), &out->position[i]);
        if (what == "ANTENNA: DELTA H/E/N")
            number(col(l, 0, 14), &out->antenna_height);
        if (what == "# / TYPES OF OBSERV" && out->version < 3) {
            if (!ntypes.count('G') && !integer(col(l, 0, 6), &ntypes['G']))
                return r.fail("bad count of observation types");
            for (int k = 0; k < 9 && static_cast<int>(types['G'].size()) < ntypes['G']; k++)
                types['G'].push_back(trim(col(l, static_cast<size_t>(6 + 6 * k), 6)));
        }
        if (what == "SYS / # / OBS TYPES" && out->version >= 3) {
            if (col(l, 0, 1) != " ") {
                listing = l[0] == 'G' || l[0] == 'R' ? l[0] : 0;  // the others are skipped
                if (!integer(col(l, 3, 3), &ntypes[listing]))
                    return r.fail("bad count of observation types");
            }
            for (int k = 0; listing && k < 13 &&
                            static_cast<int>(types[listing].size()) < ntypes[listing]; k++)
                types[listing].push_back(trim(col(l, static_cast<size_t>(7 + 4 * k), 3)));
        }
        // Entries of seven characters: "R01  1 ".
        for (size_t k = 0; what == "GLONASS SLOT / FRQ #" && k < 8; k++) {
            std::string e = col(l, 4 + 7 * k, 6);
            int slot, fcn;
            if (e.size() == 6 && e[0] == 'R' && integer(col(e, 1, 2), &slot) &&
                integer(col(e, 3, 3), &fcn) && fcn >= -7 && fcn <= 6)
                channel[slot] = fcn;
        }
    }
    std::map<char, Layout> lay;
    for (auto &t : types) {
        if (t.second.size() != static_cast<size_t>(ntypes[t.first]) || t.second.size() > 64)
            return r.fail(t.first == 'G' ? "no GPS observation types in the header"
                                         : "bad count of GLONASS observation types");
        place(&lay[t.first], t.second, out->version);
    }
    if (!lay.count('G') || lay['G'].ntypes <= 0)
        return r.fail("no GPS observation types in the header");
    // Version 2 lists the types once for every system.
    if (out->version < 3)
        lay['R'] = lay['G'];

    while (r.more()) {
        const std::string &l = r.next();
        if (trim(l).empty())
            continue;
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, flag = 0, n = 0;
        double sec = 0;
        bool v3 = out->version >= 3;
        // Events (flag 2 to 5, the date may be blank): n records follow.
        if (integer(col(l, v3 ? 31 : 28, 1), &flag) && flag > 1 &&
            integer(col(l, v3 ? 32 : 29, 3), &n) && (!v3 || l[0] == '>')) {
            for (int i = 0; i < n && r.more(); i++)
                r.next();
            continue;
        }
        if (v3 ? (l[0] != '>' || !integer(col(l, 2, 4), &y) || !integer(col(l, 7, 2), &mo) ||
                  !integer(col(l, 10, 2), &d) || !integer(col(l, 13, 2), &h) ||
                  !integer(col(l, 16, 2), &mi) || !number(col(l, 18, 11), &sec) ||
                  !integer(col(l, 31, 1), &flag) || !integer(col(l, 32, 3), &n))
               : (!integer(col(l, 1, 2), &y) || !integer(col(l, 4, 2), &mo) ||
                  !integer(col(l, 7, 2), &d) || !integer(col(l, 10, 2), &h) ||
                  !integer(col(l, 13, 2), &mi) || !number(col(l, 15, 11), &sec) ||
                  !integer(col(l, 28, 1), &flag) || !integer(col(l, 29, 3), &n)))
            return r.fail("not an epoch line");
        if (n < 0 || n > 999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 24 || mi > 59 ||
            sec < 0 || sec > 61)
            return r.fail("epoch out of range");
        if (!v3)
            y += y < 80 ? 2000 : 1900;
        ObsEpoch e;
        e.time = gps_time(y, mo, d, h, mi, sec);
        std::vector<std::string> sats;
        if (!v3) {
            std::string list = l;
            for (int i = 0; i < n; i++) {
                if (i > 0 && i % 12 == 0) {
                    if (!r.more())
                        return r.fail("epoch ends early");
                    list = r.next();
                }
                sats.push_back(col(list, static_cast<size_t>(32 + 3 * (i % 12)), 3));
            }
        }
        for (int i = 0; i < n; i++) {
            std::vector<std::string> fields;
            std::string sat;
            if (v3) {
                if (!r.more())
                    return r.fail("epoch ends early");
                const std::string &s = r.next();
                sat = col(s, 0, 3);
                auto own = lay.find(sat.empty() || sat[0] == ' ' ? 'G' : sat[0]);
                for (int k = 0; own != lay.end() && k < own->second.ntypes; k++)
                    fields.push_back(col(s, static_cast<size_t>(3 + 16 * k), 16));
            } else {
                sat = sats[static_cast<size_t>(i)];
                for (int k = 0; k < lay['G'].ntypes; k++) {
                    if (k % 5 == 0) {
                        if (!r.more())
                            return r.fail("epoch ends early");
                        r.next();
                    }
                    fields.push_back(col(r.lines[r.at - 1], static_cast<size_t>(16 * (k % 5)), 16));
                }
            }
            int prn;
            char system = sat.empty() || sat[0] == ' ' ? 'G' : sat[0];
            if (sat.size() != 3 || (system != 'G' && system != 'R') || !lay.count(system) ||
                !integer(col(sat, 1, 2), &prn) || prn < 1 || prn > (system == 'G' ? 32 : 24))
                continue;  // another system's, or not a satellite
            SatObs s;
            s.system = system;
            s.prn = prn;
            if (system == 'R' && channel.count(prn))
                s.channel = channel[prn];
            take_values(fields, lay[system], &s);
            out->glonass = out->glonass || system == 'R';
            e.sats.push_back(s);
        }
        out->epochs.push_back(e);
    }
    if (out->epochs.empty())
        return r.fail("no epochs");
    return 0;
}

int parse_nav(const std::string &text, const std::string &name, std::vector<GpsEph> *out,
              std::string *error)
{
    Reader r(text, name, error);
    out->clear();
    double version = 0;
    if (!r.more() || label(r.lines[0]) != "RINEX VERSION / TYPE" ||
        !number(col(r.lines[0], 0, 9), &version) || col(r.lines[0], 20, 1) != "N")
        return r.fail("not a RINEX navigation file");
    for (;;) {
        if (!r.more())
            return r.fail("no END OF HEADER");
        if (label(r.next()) == "END OF HEADER")
            break;
    }
    bool v3 = version >= 3;
    size_t first = v3 ? 23 : 22, orbit = v3 ? 4 : 3;
    while (r.more()) {
        const std::string &l = r.next();
        if (trim(l).empty())
            continue;
        if (v3 && l[0] != 'G') {
            // Another system's record: GLONASS and SBAS have 4 lines, the others 8.
            int lines = l[0] == 'R' || l[0] == 'S' ? 3 : 7;
            for (int i = 0; i < lines && r.more(); i++)
                r.next();
            continue;
        }
        GpsEph e;
        int y, mo, d, h, mi;
        double sec;
        bool ok = v3 ? integer(col(l, 1, 2), &e.prn) && integer(col(l, 4, 4), &y) &&
                           integer(col(l, 9, 2), &mo) && integer(col(l, 12, 2), &d) &&
                           integer(col(l, 15, 2), &h) && integer(col(l, 18, 2), &mi) &&
                           number(col(l, 21, 2), &sec)
                     : integer(col(l, 0, 2), &e.prn) && integer(col(l, 3, 2), &y) &&
                           integer(col(l, 6, 2), &mo) && integer(col(l, 9, 2), &d) &&
                           integer(col(l, 12, 2), &h) && integer(col(l, 15, 2), &mi) &&
                           number(col(l, 17, 5), &sec);
        if (!ok || e.prn < 1 || e.prn > 32 || mo < 1 || mo > 12 || d < 1 || d > 31)
            return r.fail("not the first line of a GPS ephemeris");
        if (!v3)
            y += y < 80 ? 2000 : 1900;
        e.toc = gps_time(y, mo, d, h, mi, sec);
        double *clock[3] = {&e.af0, &e.af1, &e.af2};
        for (int k = 0; k < 3; k++)
            if (!number(col(l, first + 19 * static_cast<size_t>(k), 19), clock[k]))
                return r.fail("bad clock parameter");
        double *orbits[7][4] = {
            {&e.iode, &e.crs, &e.delta_n, &e.m0},   {&e.cuc, &e.e, &e.cus, &e.sqrt_a},
            {&e.toe, &e.cic, &e.omega0, &e.cis},    {&e.i0, &e.crc, &e.omega, &e.omega_dot},
            {&e.idot, &e.codes_l2, &e.week, &e.l2p_flag},
            {&e.accuracy, &e.health, &e.tgd, &e.iodc}, {nullptr, &e.fit, nullptr, nullptr},
        };
        for (auto &line : orbits) {
            if (!r.more())
                return r.fail("ephemeris ends early");
            const std::string &o = r.next();
            for (size_t k = 0; k < 4; k++) {
                std::string field = col(o, orbit + 19 * k, 19);
                double v = 0;
                if (!trim(field).empty() && !number(field, &v))
                    return r.fail("bad orbit parameter");
                if (line[k])
                    *line[k] = v;
            }
        }
        out->push_back(e);
    }
    if (out->empty())
        return r.fail("no GPS ephemerides");
    return 0;
}

int read_text(const std::string &path, std::string *text, std::string *error)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        *error = path + ": " + strerror(errno);
        return -1;
    }
    text->clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text->append(buf, n);
    fclose(f);
    return 0;
}
