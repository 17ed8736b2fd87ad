#include "ntrip/ntrip.h"

#include <cstring>
#include <strings.h>

// Whether the n bytes at s start with the text t, or, where fewer came,
// could still (prefix_ok).
static bool starts(const char *s, size_t n, const char *t, bool *prefix_ok)
{
    size_t len = strlen(t);
    size_t k = n < len ? n : len;
    bool same = strncasecmp(s, t, k) == 0;
    if (prefix_ok)
        *prefix_ok = same && n < len;
    return same && n >= len;
}

// The end of the line that starts at from (just past its LF), or 0.
static size_t line_end(const char *buf, size_t n, size_t from)
{
    const void *lf = memchr(buf + from, '\n', n - from);
    return lf ? static_cast<size_t>(static_cast<const char *>(lf) - buf) + 1 : 0;
}

// The length of a line without its CR LF or LF.
static size_t text_len(const char *buf, size_t from, size_t end)
{
    size_t len = end - from - 1;
    if (len > 0 && buf[from + len - 1] == '\r')
        len--;
    return len;
}

static std::string printable(const char *s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n && out.size() < 200; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return out;
}

static bool name_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Whether the len bytes at s are, or may become, a header line "Name:
// value" (without its line ending): a name, a colon, printable text.
static bool header_like(const char *s, size_t len)
{
    size_t i = 0;
    while (i < len && i < 64 && name_char(s[i]))
        i++;
    if (i == len)
        return true;
    if (i == 0 || s[i] != ':')
        return false;
    for (i++; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c < 0x20 && c != '\t' && c != '\r') || c >= 0x7f)
            return false;
    }
    return true;
}

static void take_header(const char *s, size_t len, Answer *a)
{
    const char *colon = static_cast<const char *>(memchr(s, ':', len));
    if (!colon)
        return;
    size_t name = static_cast<size_t>(colon - s);
    std::string value(colon + 1, s + len);
    size_t from = value.find_first_not_of(" \t");
    value = from == std::string::npos ? "" : value.substr(from);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    if (name == 17 && strncasecmp(s, "Transfer-Encoding", name) == 0) {
        for (char &c : value)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        a->chunked = value.find("chunked") != std::string::npos;
    } else if (name == 14 && strncasecmp(s, "Content-Length", name) == 0) {
        if (!value.empty() && value.size() <= 15 &&
            value.find_first_not_of("0123456789") == std::string::npos)
            a->length = std::stoll(value);
    } else if (name == 12 && strncasecmp(s, "Content-Type", name) == 0) {
        a->table_type = strncasecmp(value.c_str(), "gnss/sourcetable", 16) == 0;
    }
}

// Where a header that a caster ran into its status line starts in it
// ("HTTP/1.1 200 OKContent-Type: gnss/data"), or len when none did.
static size_t run_together(const char *s, size_t len)
{
    static const char *const names[] = {"Content-Type:", "Transfer-Encoding:", "Content-Length:",
                                        "Ntrip-Version:", "Ntrip-Flags:", "Server:", "Date:",
                                        "Cache-Control:", "Connection:", "Pragma:"};
    size_t best = len;
    for (const char *name : names) {
        size_t k = strlen(name);
        for (size_t i = 0; i + k <= len && i < best; i++)
            if (strncasecmp(s + i, name, k) == 0) {
                best = i;
                break;
            }
    }
    return best;
}

static AnswerKind kind_of(int code)
{
    if (code == 200)
        return ANSWER_STREAM;
    if (code == 401 || code == 403)
        return ANSWER_REFUSED;
    if (code == 404)
        return ANSWER_NOT_FOUND;
    return ANSWER_NOT_UNDERSTOOD;
}

// The header lines from `at` to the blank line; false while it has not
// come. *at ends past the blank line.
static bool take_headers(const char *buf, size_t n, size_t *at, Answer *a)
{
    while (*at < n) {
        size_t end = line_end(buf, n, *at);
        if (!end)
            return false;
        size_t len = text_len(buf, *at, end);
        if (len > 0)
            take_header(buf + *at, len, a);
        *at = end;
        if (len == 0)
            return true;
    }
    return false;
}

// After an ICY status line the caster may send headers and a blank line,
// a blank line alone, or the stream at once: str2str does the last.
static void icy_rest(const char *buf, size_t n, size_t at, bool more, Answer *a)
{
    a->header_len = at;
    if (at == n) {
        if (more)
            a->kind = ANSWER_INCOMPLETE;
        return;
    }
    if (buf[at] == '\r' && at + 1 == n) {
        if (more)
            a->kind = ANSWER_INCOMPLETE;
        else
            a->header_len = n;
        return;
    }
    if (buf[at] == '\n' || (buf[at] == '\r' && buf[at + 1] == '\n')) {
        a->header_len = at + (buf[at] == '\r' ? 2 : 1);
        return;
    }
    size_t end = line_end(buf, n, at);
    if (!end) {
        // A header may still be arriving.
        if (more && n < ANSWER_HEADER_MAX && name_char(buf[at]) && header_like(buf + at, n - at))
            a->kind = ANSWER_INCOMPLETE;
        return;
    }
    size_t len = text_len(buf, at, end);
    if (len == 0 || !header_like(buf + at, len) || !memchr(buf + at, ':', len))
        return;  // the stream itself
    AnswerKind kind = a->kind;
    if (!take_headers(buf, n, &at, a)) {
        a->kind = n >= ANSWER_HEADER_MAX ? ANSWER_NOT_UNDERSTOOD : ANSWER_INCOMPLETE;
        return;
    }
    // An NTRIP 1 stream has no transfer coding and no length: a
    // "Content-Length: 0" some casters send is not the end.
    a->chunked = false;
    a->length = -1;
    a->kind = kind;
    a->header_len = at;
}

void parse_answer(const char *buf, size_t n, bool more, Answer *a)
{
    *a = Answer();
    bool could_icy, could_http, could_table;
    bool icy = starts(buf, n, "ICY ", &could_icy);
    bool http = starts(buf, n, "HTTP/1.", &could_http);
    bool table = starts(buf, n, "SOURCETABLE ", &could_table);
    if (!icy && !http && !table) {
        a->kind = could_icy || could_http || could_table ? ANSWER_INCOMPLETE : ANSWER_NOT_UNDERSTOOD;
        return;
    }
    size_t end = line_end(buf, n, 0);
    if (!end || end > ANSWER_HEADER_MAX) {
        a->kind = n >= ANSWER_HEADER_MAX || end > ANSWER_HEADER_MAX ? ANSWER_NOT_UNDERSTOOD
                                                                    : ANSWER_INCOMPLETE;
        return;
    }
    size_t len = text_len(buf, 0, end);
    size_t cut = run_together(buf, len);
    a->status = printable(buf, cut);
    // The code: three digits after the first blank.
    const char *sp = static_cast<const char *>(memchr(buf, ' ', len));
    size_t at = sp ? static_cast<size_t>(sp - buf) + 1 : len;
    if (http && (len < 8 || buf[7] < '0' || buf[7] > '9' || at != 9))
        at = len;
    if (at + 3 > len || strspn(buf + at, "0123456789") < 3 ||
        (at + 3 < len && buf[at + 3] >= '0' && buf[at + 3] <= '9')) {
        a->kind = ANSWER_NOT_UNDERSTOOD;
        return;
    }
    a->code = (buf[at] - '0') * 100 + (buf[at + 1] - '0') * 10 + (buf[at + 2] - '0');
    a->kind = kind_of(a->code);
    if (cut < len)
        take_header(buf + cut, len - cut, a);
    if (icy) {
        a->icy = true;
        icy_rest(buf, n, end, more, a);
        return;
    }
    at = end;
    if (!take_headers(buf, n, &at, a)) {
        a->kind = n >= ANSWER_HEADER_MAX ? ANSWER_NOT_UNDERSTOOD : ANSWER_INCOMPLETE;
        return;
    }
    if (at > ANSWER_HEADER_MAX) {
        a->kind = ANSWER_NOT_UNDERSTOOD;
        return;
    }
    // A source table says so in its status line or its content type.
    AnswerKind kind = kind_of(a->code);
    if (kind == ANSWER_STREAM && (table || a->table_type))
        kind = ANSWER_TABLE;
    a->kind = kind;
    a->header_len = at;
}

BodyStart classify_body(const char *buf, size_t n)
{
    bool waiting = false;
    for (const char *t : {"STR;", "CAS;", "NET;", "ENDSOURCETABLE"}) {
        bool could;
        if (starts(buf, n, t, &could))
            return BODY_TABLE;
        waiting = waiting || could;
    }
    return waiting ? BODY_MORE : BODY_STREAM;
}

enum {
    CHUNK_SIZE,     // hex digits of a chunk's size
    CHUNK_EXT,      // ";name=value" or blanks after them, to the LF
    CHUNK_SIZE_LF,  // the LF after the size line's CR
    CHUNK_DATA,
    CHUNK_DATA_CR,  // the CR LF after a chunk's data
    CHUNK_DATA_LF,
    CHUNK_TRAILER,  // trailer lines after the last chunk, to a blank one
    CHUNK_DONE,
};
enum { CHUNK_HEX_MAX = 15, CHUNK_LINE_MAX = 1024 };

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The size line is over: data follows, or the trailers after the last.
static void size_done(Dechunker *d)
{
    d->state = d->left > 0 ? CHUNK_DATA : CHUNK_TRAILER;
    d->line = 0;
    d->digits = 0;
}

ChunkResult dechunk(Dechunker *d, char *buf, size_t *n)
{
    size_t in = 0, out = 0, len = *n;
    ChunkResult result = CHUNK_OK;
    while (in < len && result == CHUNK_OK) {
        char c = buf[in];
        switch (d->state) {
        case CHUNK_SIZE: {
            int v = hex_value(c);
            if (v >= 0 && d->digits < CHUNK_HEX_MAX) {
                d->left = d->left * 16 + static_cast<unsigned>(v);
                d->digits++;
            } else if (d->digits == 0 || v >= 0) {
                result = CHUNK_BAD;  // no size, or one too long to be true
            } else if (c == '\r') {
                d->state = CHUNK_SIZE_LF;
            } else if (c == '\n') {
                size_done(d);
            } else if (c == ';' || c == ' ' || c == '\t') {
                d->state = CHUNK_EXT;
            } else {
                result = CHUNK_BAD;
            }
            in++;
            break;
        }
        case CHUNK_EXT:
            if (c == '\n')
                size_done(d);
            else if (++d->line > CHUNK_LINE_MAX)
                result = CHUNK_BAD;
            in++;
            break;
        case CHUNK_SIZE_LF:
            if (c == '\n')
                size_done(d);
            else
                result = CHUNK_BAD;
            in++;
            break;
        case CHUNK_DATA: {
            size_t k = len - in;
            if (k > d->left)
                k = static_cast<size_t>(d->left);
            memmove(buf + out, buf + in, k);
            out += k;
            in += k;
            d->left -= k;
            if (d->left == 0)
                d->state = CHUNK_DATA_CR;
            break;
        }
        case CHUNK_DATA_CR:
            if (c == '\r')
                d->state = CHUNK_DATA_LF;
            else if (c == '\n')
                d->state = CHUNK_SIZE;
            else
                result = CHUNK_BAD;
            in++;
            break;
        case CHUNK_DATA_LF:
            if (c == '\n')
                d->state = CHUNK_SIZE;
            else
                result = CHUNK_BAD;
            in++;
            break;
        case CHUNK_TRAILER:
            if (c == '\n') {
                if (d->line == 0)
                    d->state = CHUNK_DONE;
                d->line = 0;
            } else if (c != '\r') {
                d->line++;
            }
            if (++d->trailers > ANSWER_HEADER_MAX)
                result = CHUNK_BAD;
            in++;
            break;
        default:
            in = len;
            break;
        }
        if (d->state == CHUNK_DONE)
            result = CHUNK_END;
    }
    if (d->state == CHUNK_DONE)
        result = CHUNK_END;
    *n = out;
    return result;
}

bool table_take(TableReader *t, const char *buf, size_t n, std::string *out)
{
    for (size_t i = 0; i < n && !t->ended; i++) {
        t->partial += buf[i];
        if (buf[i] != '\n')
            continue;
        *out += t->partial;
        t->ended = strncmp(t->partial.c_str(), "ENDSOURCETABLE", 14) == 0;
        t->partial.clear();
    }
    return t->ended;
}
