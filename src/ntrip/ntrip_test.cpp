#include "ntrip/ntrip.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace std::string_literals;

static Answer parse(const std::string &s, bool more = true)
{
    Answer a;
    parse_answer(s.data(), s.size(), more, &a);
    return a;
}

// Each form of answer as real casters send it: what it is, where the body
// starts, and that every shorter prefix only asks for more.
TEST(NtripAnswer, EachFormAsCastersSendIt)
{
    const std::string rtcm = "\xD3\x00\x13"s;
    struct Case {
        std::string header;
        AnswerKind kind;
        bool icy, chunked;
        const char *status;
    } cases[] = {
        {"ICY 200 OK\r\n\r\n", ANSWER_STREAM, true, false, "ICY 200 OK"},
        {"ICY 200 OK\r\nServer: NTRIP Caster\r\nContent-Length: 0\r\n\r\n", ANSWER_STREAM, true,
         false, "ICY 200 OK"},
        {"HTTP/1.0 200 OK\r\n\r\n", ANSWER_STREAM, false, false, "HTTP/1.0 200 OK"},
        {"HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nTransfer-Encoding: chunked\r\n\r\n",
         ANSWER_STREAM, false, true, "HTTP/1.1 200 OK"},
        {"HTTP/1.1 200 OKTransfer-Encoding: chunked\r\nServer: x\r\n\r\n", ANSWER_STREAM, false,
         true, "HTTP/1.1 200 OK"},
        {"HTTP/1.1 200 OK\nContent-Type: gnss/data\n\n", ANSWER_STREAM, false, false,
         "HTTP/1.1 200 OK"},
        {"SOURCETABLE 200 OK\r\nContent-Length: 20\r\n\r\n", ANSWER_TABLE, false, false,
         "SOURCETABLE 200 OK"},
        {"HTTP/1.1 200 OK\r\nContent-Type: gnss/sourcetable\r\n\r\n", ANSWER_TABLE, false, false,
         "HTTP/1.1 200 OK"},
        {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\n\r\n",
         ANSWER_REFUSED, false, false, "HTTP/1.1 401 Unauthorized"},
        {"HTTP/1.0 403 Forbidden\r\n\r\n", ANSWER_REFUSED, false, false, "HTTP/1.0 403 Forbidden"},
        {"HTTP/1.1 404 Not Found\r\n\r\n", ANSWER_NOT_FOUND, false, false, "HTTP/1.1 404 Not Found"},
        {"HTTP/1.1 503 Service Unavailable\r\n\r\n", ANSWER_NOT_UNDERSTOOD, false, false,
         "HTTP/1.1 503 Service Unavailable"},
    };
    for (const Case &c : cases) {
        Answer a = parse(c.header + rtcm);
        EXPECT_EQ(a.kind, c.kind) << c.header;
        EXPECT_EQ(a.header_len, c.header.size()) << c.header;
        EXPECT_EQ(a.icy, c.icy) << c.header;
        EXPECT_EQ(a.chunked, c.chunked) << c.header;
        EXPECT_EQ(a.status, c.status) << c.header;
        for (size_t n = 0; n < c.header.size(); n++)
            ASSERT_EQ(parse(c.header.substr(0, n)).kind, ANSWER_INCOMPLETE) << c.header << " at " << n;
    }
    EXPECT_EQ(parse("SOURCETABLE 200 OK\r\nContent-Length: 20\r\n\r\n").length, 20);
}

// str2str's answer: the stream follows the ICY line at once; a header
// still arriving is waited for, a pause decides.
TEST(NtripAnswer, AnIcyLineFollowedByTheStreamOrAHeader)
{
    Answer a = parse("ICY 200 OK\r\n\xD3\x00\x13");
    EXPECT_EQ(a.kind, ANSWER_STREAM);
    EXPECT_EQ(a.header_len, 12u);
    EXPECT_EQ(parse("ICY 200 OK\r\n").kind, ANSWER_INCOMPLETE);
    EXPECT_EQ(parse("ICY 200 OK\r\nServ").kind, ANSWER_INCOMPLETE);
    a = parse("ICY 200 OK\r\n", false);
    EXPECT_EQ(a.kind, ANSWER_STREAM);
    EXPECT_EQ(a.header_len, 12u);
    // RTCM 2's bytes are letters, never a colon: a stream, not a header.
    a = parse("ICY 200 OK\r\nfY@Ab\r\n");
    EXPECT_EQ(a.kind, ANSWER_STREAM);
    EXPECT_EQ(a.header_len, 12u);
}

TEST(NtripAnswer, WhatIsNotAnAnswer)
{
    EXPECT_EQ(parse("<html>").kind, ANSWER_NOT_UNDERSTOOD);
    EXPECT_EQ(parse("\xD3\x00\x13").kind, ANSWER_NOT_UNDERSTOOD);
    EXPECT_EQ(parse("HTTP/1.1 2x0 OK\r\n\r\n").kind, ANSWER_NOT_UNDERSTOOD);
    EXPECT_EQ(parse("HTTP/1.1 2000 OK\r\n\r\n").kind, ANSWER_NOT_UNDERSTOOD);
    std::string big = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(ANSWER_HEADER_MAX, 'a') + "\r\n\r\n";
    Answer a = parse(big);
    EXPECT_EQ(a.kind, ANSWER_NOT_UNDERSTOOD);
    EXPECT_EQ(a.code, 200);
    EXPECT_EQ(parse(big.substr(0, ANSWER_HEADER_MAX)).kind, ANSWER_NOT_UNDERSTOOD);
    EXPECT_EQ(parse("ICY 200 OK\x1b[2J\r\n\r\n").status, "ICY 200 OK?[2J");
}

TEST(NtripAnswer, ABodyThatIsASourceTable)
{
    EXPECT_EQ(classify_body("STR;MP1;", 8), BODY_TABLE);
    EXPECT_EQ(classify_body("CAS;", 4), BODY_TABLE);
    EXPECT_EQ(classify_body("ENDSOURCETABLE\r\n", 16), BODY_TABLE);
    EXPECT_EQ(classify_body("ST", 2), BODY_MORE);
    EXPECT_EQ(classify_body("ENDSOURCE", 9), BODY_MORE);
    EXPECT_EQ(classify_body("", 0), BODY_MORE);
    EXPECT_EQ(classify_body("\xD3\x00", 2), BODY_STREAM);
    EXPECT_EQ(classify_body("STX", 3), BODY_STREAM);
}

static std::string dechunk_pieces(const std::string &in, size_t piece, ChunkResult *last)
{
    Dechunker d;
    std::string out;
    *last = CHUNK_OK;
    for (size_t at = 0; at < in.size() && *last == CHUNK_OK; at += piece) {
        std::string part = in.substr(at, piece);
        size_t n = part.size();
        *last = dechunk(&d, &part[0], &n);
        out.append(part.data(), n);
    }
    return out;
}

// The data whole and alone, however the chunks were cut on the way; a
// fault ends it with what came before it and nothing of the framing.
TEST(NtripChunks, DataWholeAtEveryCutAndNothingAfterAFault)
{
    const std::string body = "5;name=value\r\n\xD3\x00\x01\r\n\r\n"
                             "A\r\n0123456789\r\n"
                             "3 \r\nabc\n"
                             "0\r\nX-Trailer: 1\r\n\r\nafter"s;
    for (size_t piece = 1; piece <= body.size(); piece++) {
        ChunkResult r;
        EXPECT_EQ(dechunk_pieces(body, piece, &r), std::string("\xD3\x00\x01\r\n0123456789abc", 18))
            << piece;
        EXPECT_EQ(r, CHUNK_END) << piece;
    }
    struct Bad {
        const char *in;
        const char *before;
    } bad[] = {
        {"3\r\nabcX\r\n", "abc"},          // no CR LF after the data
        {"zz\r\nabc\r\n", ""},             // no size
        {"\r\n", ""},                      // an empty size
        {"3\r\nabc\r\n1234567890123456\r\n", "abc"},  // a size too long to be true
        {"3\rabc", ""},                    // CR without LF
    };
    for (const Bad &b : bad) {
        ChunkResult r;
        EXPECT_EQ(dechunk_pieces(b.in, 1, &r), b.before) << b.in;
        EXPECT_EQ(r, CHUNK_BAD) << b.in;
    }
    ChunkResult r;
    dechunk_pieces("0\r\n" + std::string(ANSWER_HEADER_MAX + 1, 'x'), 100, &r);
    EXPECT_EQ(r, CHUNK_BAD);
}

TEST(NtripTable, LinesUpToEndsourcetableAcrossPieces)
{
    const std::string table = "STR;A;x\r\nCAS;c;2101\r\nENDSOURCETABLE\r\nafter\r\n";
    for (size_t piece = 1; piece < table.size(); piece++) {
        TableReader t;
        std::string out;
        bool ended = false;
        for (size_t at = 0; at < table.size() && !ended; at += piece)
            ended = table_take(&t, table.data() + at, std::min(piece, table.size() - at), &out);
        EXPECT_TRUE(ended);
        EXPECT_EQ(out, "STR;A;x\r\nCAS;c;2101\r\nENDSOURCETABLE\r\n");
    }
}

TEST(NtripPosition, OnlyGgaWithAGoodChecksumAndAFixQualifies)
{
    auto q = [](const std::string &s) { return gga_qualifies(s.data(), s.size()); };
    EXPECT_TRUE(q(nmea_sentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,")));
    EXPECT_TRUE(q(nmea_sentence("GNGGA,123519,4807.038,S,01131.000,W,4,08,0.9,545.4,M,46.9,M,1.0,0001")));
    EXPECT_TRUE(q(nmea_sentence("GLGGA,123519,4807.038,N,01131.000,E,5,08,0.9,545.4,M,46.9,M,,")));
    std::string good = nmea_sentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    std::string bad_sum = good;
    bad_sum[bad_sum.size() - 1] = bad_sum.back() == '0' ? '1' : '0';
    EXPECT_FALSE(q(bad_sum));
    EXPECT_FALSE(q(good.substr(0, good.size() - 3)));  // no checksum
    EXPECT_FALSE(q(nmea_sentence("GPGGA,123519,4807.038,N,01131.000,E,0,00,,,M,,M,,")));   // no fix
    EXPECT_FALSE(q(nmea_sentence("GPGGA,123519,,,,,1,08,0.9,545.4,M,46.9,M,,")));           // no position
    EXPECT_FALSE(q(nmea_sentence("GPGGA,123519,4807.038,N,,E,1,08,0.9,545.4,M,46.9,M,,")));
    EXPECT_FALSE(q(nmea_sentence("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W")));
    EXPECT_FALSE(q(nmea_sentence("GPGGA,123519,4807.038,N,01131.000,E,,08")));
}

// A receiver's output at 1 Hz: only its GGA goes, at most one an interval,
// the latest one, and none before a fix.
TEST(NtripPosition, TheLatestGgaAtMostOnceAnInterval)
{
    GgaPicker p;
    p.interval_ms = 5000;
    std::string nofix = nmea_sentence("GPGGA,000000,,,,,0,00,,,M,,M,,") + "\r\n";
    gga_feed(&p, nofix.data(), nofix.size());
    EXPECT_EQ(gga_due(&p, 0), "");
    std::vector<std::string> sent;
    for (int s = 1; s <= 20; s++) {
        std::string gga = nmea_sentence("GNGGA,0000" + std::to_string(10 + s) +
                                   ",4807.038,N,01131.000,E,4,08,0.9,545.4,M,46.9,M,1.0,0001");
        std::string second = gga + "\r\n" + nmea_sentence("GNRMC,1,A,4807.038,N,01131.000,E,0,0,1,,") +
                             "\r\n" + nmea_sentence("GNGSA,A,3,01,02") + "\r\n" +
                             nmea_sentence("GPGSV,4,1,13,01,40,083,46") + "\r\n";
        // Cut in two anywhere: a sentence is gathered across reads.
        size_t cut = static_cast<size_t>(s * 7) % second.size();
        gga_feed(&p, second.data(), cut);
        gga_feed(&p, second.data() + cut, second.size() - cut);
        std::string due = gga_due(&p, s * 1000LL);
        if (!due.empty()) {
            EXPECT_EQ(due, gga + "\r\n");
            sent.push_back(due);
        }
    }
    EXPECT_EQ(sent.size(), 4u);  // at 1, 6, 11 and 16 s
    // A line longer than any sentence is dropped, not cut into one.
    GgaPicker q;
    std::string junk = std::string(200, 'x') + nmea_sentence("GPGGA,1,4807.038,N,01131.000,E,1,08,,,M,,M,,");
    junk.erase(200, 1);  // no '$' to start afresh
    junk += "\n";
    gga_feed(&q, junk.data(), junk.size());
    EXPECT_EQ(gga_due(&q, 0), "");
}

TEST(NtripRequest, Ntrip2AndNtrip1AsCastersExpectThem)
{
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(percent_encode("MP-1._~a"), "MP-1._~a");
    EXPECT_EQ(percent_encode("M P/ü"), "M%20P%2F%C3%BC");
    EXPECT_EQ(host_port("2001:db8::1", 2101), "[2001:db8::1]:2101");

    Options o;
    o.host = "caster.example";
    o.port = 2102;
    o.have_user = true;
    o.user = "rover@example.org";
    o.password = "p@ss:w0rd";
    o.have_mountpoint = true;
    o.mountpoint = "MP 1";
    EXPECT_EQ(build_request(o, 2, "$GPGGA,x*00", "1.0.0"),
              "GET /MP%201 HTTP/1.1\r\n"
              "Host: caster.example:2102\r\n"
              "Ntrip-Version: Ntrip/2.0\r\n"
              "User-Agent: NTRIP rtkfeedd-ntrip/1.0.0\r\n"
              "Authorization: Basic " + base64("rover@example.org:p@ss:w0rd") + "\r\n"
              "Ntrip-GGA: $GPGGA,x*00\r\n"
              "Connection: close\r\n\r\n");
    o.have_user = false;
    EXPECT_EQ(build_request(o, 1, "$GPGGA,x*00", "1.0.0"),
              "GET /MP%201 HTTP/1.0\r\n"
              "User-Agent: NTRIP rtkfeedd-ntrip/1.0.0\r\n\r\n"
              "$GPGGA,x*00\r\n");
    o.have_mountpoint = false;
    EXPECT_EQ(build_request(o, 1, "", "1").substr(0, 16), "GET / HTTP/1.0\r\n");
}

static int parse_args(std::vector<const char *> args, Options *o, std::string *why)
{
    return parse_options(static_cast<int>(args.size()), const_cast<char *const *>(args.data()), o, why);
}

TEST(NtripOptions, TheDaemonsCommandLineAndWhatIsRefused)
{
    Options o;
    std::string why;
    ASSERT_EQ(parse_args({"-s", "[2001:db8::1]", "-r", "2101", "-u", "u", "-p", "pw", "-m", "MP",
                          "-i", "1", "-D", "/dev/rtkfeedd", "-B", "9600", "-A", "8", "-T", "1",
                          "-Y", "N", "-n", "$GPGGA,x", "-g", "5"},
                         &o, &why),
              0)
        << why;
    EXPECT_EQ(o.host, "2001:db8::1");
    EXPECT_EQ(o.port, 2101u);
    EXPECT_EQ(o.password, "pw");
    EXPECT_EQ(o.gga_interval, 5u);
    ASSERT_EQ(parse_args({"-s", "c", "-r", "2101", "-i", "1"}, &o, &why), 0) << why;
    EXPECT_FALSE(o.have_mountpoint);
    EXPECT_EQ(o.gga_interval, 10u);
    const std::vector<std::vector<const char *>> refused = {
        {"-s", "c", "-r", "2101", "-u", "u\r\nX-Evil: 1"},
        {"-s", "c", "-r", "2101", "-m", "MP\n"},
        {"-s", "c", "-r", "70000"},
        {"-s", "c", "-r", "2101", "-p", "pw"},
        {"-s", "c", "-r", "2101", "-m", "MP"},
        {"-s", "c", "-r", "2101", "-x", "1"},
        {"-s", "c", "-r"},
        {"-s", "c", "-r", "2101", "-m", "MP", "-D", "/dev/x", "-B", "1800"},
        {"-r", "2101"},
    };
    for (const auto &args : refused)
        EXPECT_EQ(parse_args(args, &o, &why), -1) << args.back();
    parse_args({"-s", "c", "-r", "2101", "-u", "u", "-p", "secret\n"}, &o, &why);
    EXPECT_EQ(why.find("secret"), std::string::npos);
}

TEST(NtripOptions, TheSettingsOfTheClient)
{
    auto load = [](const char *text) {
        FILE *f = fmemopen(const_cast<char *>(text), strlen(text), "r");
        ClientSettings s;
        load_client_settings(f, &s);
        fclose(f);
        return s;
    };
    ClientSettings s = load("MOD_NTRIP_PORT=443\n");
    EXPECT_TRUE(uses_tls(s, 443));
    EXPECT_FALSE(uses_tls(s, 2101));
    EXPECT_EQ(s.protocol, 2);
    s = load("MOD_NTRIP_TLS_PORTS=\"443, 2102 x,70000\"\nMOD_NTRIP_PROTOCOL=1\nMOD_NTRIP_CAFILE=/ca.pem\n");
    EXPECT_EQ(s.tls_ports, (std::vector<unsigned>{443, 2102}));
    EXPECT_EQ(s.protocol, 1);
    EXPECT_EQ(s.cafile, "/ca.pem");
    s = load("mod_ntrip_tls_ports=\nMOD_NTRIP_PROTOCOL=3\n");
    EXPECT_FALSE(uses_tls(s, 443));
    EXPECT_EQ(s.protocol, 2);
    ClientSettings none;
    load_client_settings(nullptr, &none);
    EXPECT_TRUE(uses_tls(none, 443));
}
