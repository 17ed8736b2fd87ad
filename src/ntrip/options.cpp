#include "ntrip/ntrip.h"
#include "common/log.h"
#include "settings/settings_internal.h"

#include <cstdlib>
#include <cstring>

static bool plain_number(const char *s, unsigned low, unsigned high, unsigned *out)
{
    size_t len = strlen(s);
    if (len == 0 || len > 10 || strspn(s, "0123456789") != len)
        return false;
    unsigned long long n = strtoull(s, nullptr, 10);
    if (n < low || n > high)
        return false;
    *out = static_cast<unsigned>(n);
    return true;
}

static bool known_speed(unsigned baud)
{
    static const unsigned speeds[] = {300,     600,     1200,    2400,    4800,    9600,
                                      19200,   38400,   57600,   115200,  230400,  460800,
                                      500000,  576000,  921600,  1000000, 1152000, 1500000,
                                      2000000, 2500000, 3000000, 3500000, 4000000};
    for (unsigned s : speeds)
        if (s == baud)
            return true;
    return false;
}

int parse_options(int argc, char *const argv[], Options *o, std::string *why)
{
    *o = Options();
    bool have_host = false, have_port = false, have_password = false, have_interval = false;
    for (int i = 0; i < argc; i++) {
        const char *opt = argv[i];
        if (opt[0] != '-' || strlen(opt) != 2 || !strchr("srupmiDBATYng", opt[1])) {
            *why = std::string("unknown argument \"") + opt + "\"";
            return -1;
        }
        if (i + 1 >= argc) {
            *why = std::string(opt) + " needs a value";
            return -1;
        }
        const char *v = argv[++i];
        // A line break in a value would end a header line of the request
        // and start one of the caller's choosing: never sent.
        if (strpbrk(v, "\r\n")) {
            *why = std::string("the value of ") + opt + " holds a line break";
            return -1;
        }
        bool ok = true;
        switch (opt[1]) {
        case 's':
            o->host = v;
            // An IPv6 address may come in brackets, as in a URL.
            if (o->host.size() > 2 && o->host.front() == '[' && o->host.back() == ']')
                o->host = o->host.substr(1, o->host.size() - 2);
            ok = !o->host.empty();
            have_host = true;
            break;
        case 'r': ok = plain_number(v, 1, 65535, &o->port); have_port = true; break;
        case 'u': o->user = v; o->have_user = true; break;
        case 'p': o->password = v; have_password = true; break;
        case 'm': o->mountpoint = v; o->have_mountpoint = true; ok = !o->mountpoint.empty(); break;
        case 'i': ok = plain_number(v, 0, 4294967295u, &o->reconnint); break;
        case 'D': o->device = v; ok = !o->device.empty(); break;
        case 'B': ok = plain_number(v, 1, 4294967295u, &o->baud) && known_speed(o->baud); break;
        case 'A': ok = plain_number(v, 5, 8, &o->databits); break;
        case 'T': ok = plain_number(v, 1, 2, &o->stopbits); break;
        case 'Y': o->parity = v; ok = o->parity == "N" || o->parity == "O" || o->parity == "E"; break;
        case 'n': o->gga = v; o->have_gga = true; break;
        case 'g': ok = plain_number(v, 1, 86400, &o->gga_interval); have_interval = true; break;
        }
        if (!ok) {
            *why = std::string("cannot use \"") + (opt[1] == 'p' ? "..." : v) + "\" for " + opt;
            return -1;
        }
    }
    if (!have_host || !have_port) {
        *why = "-s and -r name the caster and are needed";
        return -1;
    }
    if (have_password && !o->have_user) {
        *why = "-p needs -u";
        return -1;
    }
    if (o->have_mountpoint && o->device.empty()) {
        *why = "-m needs -D, the device the stream goes to";
        return -1;
    }
    if (have_interval && !o->have_gga) {
        *why = "-g needs -n";
        return -1;
    }
    return 0;
}

void load_client_settings(FILE *f, ClientSettings *s)
{
    *s = ClientSettings();
    if (f) {
        rewind(f);
        if (const char *v = settings_find(f, "MOD_NTRIP_TLS_PORTS")) {
            std::string list = v;
            s->tls_ports.clear();
            size_t at = 0;
            while (at < list.size()) {
                size_t end = list.find_first_of(" \t,", at);
                if (end == std::string::npos)
                    end = list.size();
                std::string word = list.substr(at, end - at);
                unsigned port = 0;
                if (!word.empty() && plain_number(word.c_str(), 1, 65535, &port))
                    s->tls_ports.push_back(port);
                else if (!word.empty())
                    log_warning("MOD_NTRIP_TLS_PORTS: cannot use \"%s\", left out", word.c_str());
                at = end + 1;
            }
        }
    }
    s->cafile = settings_get_str(f, "MOD_NTRIP_CAFILE");
    s->protocol = static_cast<int>(settings_get_uint_or(f, "MOD_NTRIP_PROTOCOL", 2, 1, 2));
}

bool uses_tls(const ClientSettings &s, unsigned port)
{
    for (unsigned p : s.tls_ports)
        if (p == port)
            return true;
    return false;
}
