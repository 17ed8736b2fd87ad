#include "ntrip/ntrip.h"

std::string base64(const std::string &in)
{
    static const char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                     static_cast<unsigned char>(in[i + 1]) << 8 | static_cast<unsigned char>(in[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string percent_encode(const std::string &in)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : in) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string host_port(const std::string &host, unsigned port)
{
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string build_request(const Options &o, int protocol, const std::string &gga,
                          const char *version)
{
    std::string path = "/" + (o.have_mountpoint ? percent_encode(o.mountpoint) : "");
    std::string r = "GET " + path + (protocol == 1 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    if (protocol != 1) {
        r += "Host: " + host_port(o.host, o.port) + "\r\n";
        r += "Ntrip-Version: Ntrip/2.0\r\n";
    }
    r += std::string("User-Agent: NTRIP rtkfeedd-ntrip/") + version + "\r\n";
    if (o.have_user)
        r += "Authorization: Basic " + base64(o.user + ":" + o.password) + "\r\n";
    if (protocol != 1 && !gga.empty())
        r += "Ntrip-GGA: " + gga + "\r\n";
    if (protocol != 1)
        r += "Connection: close\r\n";
    r += "\r\n";
    // An NTRIP 1 caster takes the position as the first line after the
    // request.
    if (protocol == 1 && !gga.empty())
        r += gga + "\r\n";
    return r;
}
