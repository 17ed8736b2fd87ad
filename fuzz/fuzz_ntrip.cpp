// The caster's answer and the chunked coding: any bytes, cut anywhere.
// Raw input must not crash either parser, and the header never ends past
// what came. A stream the target chunks itself from the input comes out
// whole and alone however it is cut; a header it builds from the input
// ends exactly where its blank line does.
#include "ntrip/ntrip.h"

#include <cstdint>
#include <cstdlib>
#include <string>

static void check(bool ok)
{
    if (!ok)
        abort();
}

static void raw(const uint8_t *data, size_t size)
{
    const char *s = reinterpret_cast<const char *>(data);
    for (size_t n = 0; n <= size; n += 1 + n / 8) {
        Answer a;
        parse_answer(s, n, n < size, &a);
        check(a.header_len <= n);
    }
    std::string copy(s, size);
    Dechunker d;
    size_t n = copy.size();
    dechunk(&d, &copy[0], &n);
    check(n <= size);
}

static void chunked(const uint8_t *data, size_t size)
{
    // The data chunked in pieces whose sizes the data gives.
    std::string plain(reinterpret_cast<const char *>(data), size), coded;
    for (size_t at = 0; at < plain.size();) {
        size_t k = 1 + data[at] % 64;
        if (k > plain.size() - at)
            k = plain.size() - at;
        char hex[24];
        snprintf(hex, sizeof hex, at % 3 ? "%zx\r\n" : "%zX;x=y\r\n", k);
        coded += hex + plain.substr(at, k) + "\r\n";
        at += k;
    }
    coded += "0\r\nTrailer: z\r\n\r\n";
    size_t piece = 1 + (size ? data[0] % 29 : 0);
    Dechunker d;
    std::string out;
    ChunkResult r = CHUNK_OK;
    for (size_t at = 0; at < coded.size() && r == CHUNK_OK; at += piece) {
        std::string part = coded.substr(at, piece);
        size_t n = part.size();
        r = dechunk(&d, &part[0], &n);
        out.append(part, 0, n);
    }
    check(r == CHUNK_END);
    check(out == plain);
}

static void header(const uint8_t *data, size_t size)
{
    // Header lines of the input's printable bytes, a blank line, a frame.
    std::string h = "HTTP/1.1 200 OK\r\n", line = "X-A: ";
    for (size_t i = 0; i < size; i++) {
        char c = static_cast<char>(data[i]);
        if (c == '\n') {
            h += line + "\r\n";
            line = "X-A: ";
        } else if (c >= 0x20 && c < 0x7f) {
            line += c;
        }
    }
    h += line + "\r\n\r\n";
    std::string all = h + "\xD3";
    Answer a;
    parse_answer(all.data(), all.size(), true, &a);
    if (h.size() <= ANSWER_HEADER_MAX)
        check(a.kind == ANSWER_STREAM && a.header_len == h.size());
    else
        check(a.kind == ANSWER_NOT_UNDERSTOOD);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 3) {
    case 0: raw(data + 1, size - 1); break;
    case 1: chunked(data + 1, size - 1); break;
    default: header(data + 1, size - 1); break;
    }
    return 0;
}
