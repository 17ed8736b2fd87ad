// rtkfeedd-ntrip: the project's own NTRIP client, a program of its own that
// the daemon runs on its pseudo-terminal. What it decides is here, pure: the
// command line and its settings (options.cpp), the request (request.cpp),
// the caster's answer, its de-chunking and the source table (answer.cpp),
// the position sentences it sends upstream (position.cpp). The connection
// (net.cpp, tls.cpp) and the loop (main.cpp) only move bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Why a run ended: the exit status, which the daemon and the operator read.
enum NtripExit {
    EXIT_STOPPED = 0,         // a stop signal, or the source table printed
    EXIT_LOCAL = 1,           // the device, or another local failure
    EXIT_USAGE = 2,           // a command line that cannot be used
    EXIT_UNREACHABLE = 3,     // no address, refused, timed out, closed before an answer
    EXIT_TLS = 4,             // not trusted, name mismatch, handshake, CA file
    EXIT_REFUSED = 5,         // 401, 403
    EXIT_NO_MOUNTPOINT = 6,   // 404, or a source table instead of data
    EXIT_NOT_UNDERSTOOD = 7,  // an answer that is not NTRIP, bad framing
    EXIT_STREAM_ENDED = 8,    // the caster closed the stream, or it went silent
};

// ---- options.cpp: the command line the daemon passes, and the settings.

struct Options {
    std::string host;  // without brackets
    unsigned port = 0;
    bool have_user = false;
    std::string user, password;
    bool have_mountpoint = false;  // without -m: the source table
    std::string mountpoint;
    unsigned reconnint = 0;
    std::string device;
    unsigned baud = 9600, databits = 8, stopbits = 1;
    std::string parity = "N";
    bool have_gga = false;
    std::string gga;
    unsigned gga_interval = 10;  // s between sentences upstream
};
// Reads argv (after the program's name). 0, or -1 with the reason in *why.
int parse_options(int argc, char *const argv[], Options *o, std::string *why);

struct ClientSettings {
    std::vector<unsigned> tls_ports{443};
    std::string cafile;  // empty: the system's store
    int protocol = 2;
};
// The client's keys of the daemon's settings file (f may be null); a value
// that cannot be used is logged and its default taken.
void load_client_settings(FILE *f, ClientSettings *s);
bool uses_tls(const ClientSettings &s, unsigned port);

// ---- request.cpp

std::string base64(const std::string &in);
// A mountpoint as a path: what is not a letter, a digit or "-._~" is
// percent-encoded.
std::string percent_encode(const std::string &in);
// "host:port", an IPv6 address in brackets.
std::string host_port(const std::string &host, unsigned port);
// The request for o (the source table without a mountpoint) in NTRIP 1 or
// 2; gga, when not empty, is the sentence that goes with it.
std::string build_request(const Options &o, int protocol, const std::string &gga,
                          const char *version);

// ---- answer.cpp: what the caster answers, picohttpparser's way: the
// caller owns the bytes, the parser says how far the header goes.

enum AnswerKind {
    ANSWER_INCOMPLETE,      // read more
    ANSWER_STREAM,          // a 200: the stream follows the header
    ANSWER_TABLE,           // a source table
    ANSWER_REFUSED,         // 401, 403
    ANSWER_NOT_FOUND,       // 404
    ANSWER_NOT_UNDERSTOOD,  // anything else, not HTTP, a header over 8 KiB
};
enum { ANSWER_HEADER_MAX = 8192 };
struct Answer {
    AnswerKind kind = ANSWER_INCOMPLETE;
    int code = 0;
    bool icy = false;         // "ICY 200 OK": NTRIP 1
    bool chunked = false;
    long long length = -1;    // Content-Length, -1 without one
    bool table_type = false;  // Content-Type: gnss/sourcetable
    std::string status;       // the caster's status line, printable
    size_t header_len = 0;    // the body starts here
};
// Reads the answer from the first n bytes that came. more: whether more
// may still come soon; an ICY status line may be followed by a header, a
// blank line or the stream itself, and only what follows tells.
void parse_answer(const char *buf, size_t n, bool more, Answer *a);

// Whether a 200's body is a source table ("STR;", "CAS;", "NET;",
// "ENDSOURCETABLE") rather than a stream; BODY_MORE while too few bytes
// have come to tell.
enum BodyStart { BODY_MORE, BODY_STREAM, BODY_TABLE };
BodyStart classify_body(const char *buf, size_t n);

// The chunked transfer coding, curl's way: a named state, a bound on every
// length, chunk extensions and trailers tolerated.
struct Dechunker {
    int state = 0;
    uint64_t left = 0;      // data bytes left in this chunk
    unsigned digits = 0;    // hex digits of its size so far
    size_t line = 0;        // bytes of the current extension or trailer line
    size_t trailers = 0;    // bytes of trailers so far
};
enum ChunkResult { CHUNK_OK, CHUNK_END, CHUNK_BAD };
// Decodes buf in place: afterwards its first *n bytes are the data. On
// CHUNK_END the last chunk came (what follows is ignored); on CHUNK_BAD the
// data before the fault is there, nothing after it.
ChunkResult dechunk(Dechunker *d, char *buf, size_t *n);

// The source table as it comes: whole lines, up to and including
// ENDSOURCETABLE.
struct TableReader {
    std::string partial;  // the line being gathered
    bool ended = false;
};
// Appends the complete lines of buf to out; true once ENDSOURCETABLE came.
bool table_take(TableReader *t, const char *buf, size_t n, std::string *out);

// The value of a hex digit of either case, -1 for another character.
int hex_value(char c);

// ---- position.cpp: the position sentences upstream.

// Whether a line (without its line ending) is a GGA sentence of any
// talker with a good checksum and a fix: quality not 0, latitude and
// longitude present.
bool gga_qualifies(const char *line, size_t n);

// Picks the qualifying GGA sentences out of what the receiver writes on
// the device, across reads, and says when the latest one is due upstream.
struct GgaPicker {
    char line[128];
    size_t have = 0;
    bool too_long = false;
    std::string latest;  // the latest qualifying sentence not yet sent
    unsigned interval_ms = 10000;
    long long last_sent_ms = -1;  // -1: none sent yet
};
void gga_feed(GgaPicker *p, const char *data, size_t n);
// The sentence to send now (with CR LF), or empty: at most one an interval.
std::string gga_due(GgaPicker *p, long long now_ms);
