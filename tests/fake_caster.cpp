// A small NTRIP 2 caster of the tests' own, for what Debian's casters do
// not do: it answers each connection in turn the way --answer says, streams
// a file, and records what the client sent.
//   fake_caster --port P [--v6] --answer MODE [--stream FILE] [--hold]
//               [--record FILE]
// MODE: chunked, plain, runtogether, 404, 401, 401body, table, silent,
// badchunk, bigheader. --hold keeps the connection open after the stream;
// --record writes the request, then each line sent upstream as
// "<ms since the answer> <line>".
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

static bool send_all(int fd, const std::string &s)
{
    for (size_t at = 0; at < s.size();) {
        ssize_t w = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        at += static_cast<size_t>(w);
    }
    return true;
}

static long long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static void serve(int fd, const std::string &mode, const std::string &stream, bool hold,
                  const std::string &record_path);

int main(int argc, char **argv)
{
    int port = 0;
    bool v6 = false, hold = false;
    std::string mode = "plain", stream_path, record_path;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (a == "--v6")
            v6 = true;
        else if (a == "--hold")
            hold = true;
        else if (a == "--answer" && i + 1 < argc)
            mode = argv[++i];
        else if (a == "--stream" && i + 1 < argc)
            stream_path = argv[++i];
        else if (a == "--record" && i + 1 < argc)
            record_path = argv[++i];
    }
    std::string stream;
    if (!stream_path.empty()) {
        std::ifstream in(stream_path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        stream = ss.str();
    }
    int ls = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss = {};
    socklen_t len;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    if (bind(ls, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(ls, 4) != 0) {
        perror("fake_caster: bind");
        return 1;
    }
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd >= 0)
            serve(fd, mode, stream, hold, record_path);
    }
}

static void serve(int fd, const std::string &mode, const std::string &stream, bool hold,
                  const std::string &record_path)
{
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) {
            close(fd);
            return;
        }
        request.append(buf, static_cast<size_t>(r));
    }
    FILE *record = record_path.empty() ? nullptr : fopen(record_path.c_str(), "a");
    if (record) {
        fputs(request.c_str(), record);
        fflush(record);
    }
    std::string head;
    if (mode == "chunked" || mode == "badchunk")
        head = "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nCache-Control: no-store\r\n"
               "Transfer-Encoding: chunked\r\n\r\n";
    else if (mode == "plain")
        head = "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nContent-Type: gnss/data\r\n\r\n";
    else if (mode == "runtogether")
        head = "HTTP/1.1 200 OKContent-Type: gnss/data\r\nNtrip-Version: Ntrip/2.0\r\n\r\n";
    else if (mode == "404")
        head = "HTTP/1.1 404 Not Found\r\nNtrip-Version: Ntrip/2.0\r\nContent-Length: 0\r\n\r\n";
    else if (mode == "401")
        head = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"/MP\"\r\n\r\n";
    else if (mode == "401body")
        head = "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/html\r\nContent-Length: 46\r\n\r\n"
               "<html><body>401 Unauthorized</body></html>\r\n\r\n";
    else if (mode == "table")
        head = "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n\r\n"
               "STR;OTHER;Other;RTCM 3.2;1005(1);2;GPS;NET;DEU;52.5;13.4;0;0;x;none;N;N;0;\r\n"
               "ENDSOURCETABLE\r\n";
    else if (mode == "bigheader")
        head = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'a') + "\r\n\r\n";
    if (mode != "silent" && !send_all(fd, head)) {
        close(fd);
        return;
    }
    long long start = now_ms();
    std::mt19937 random(7);
    bool framing = mode == "chunked" || mode == "badchunk";
    bool body = mode == "chunked" || mode == "badchunk" || mode == "plain" || mode == "runtogether";
    size_t at = 0;
    std::string upstream;
    for (;;) {
        if (body && at < stream.size()) {
            size_t k = std::min<size_t>(1 + random() % 700, stream.size() - at);
            std::string piece = stream.substr(at, k);
            if (framing) {
                char size[32];
                snprintf(size, sizeof size, random() % 4 ? "%zx\r\n" : "%zX;ext=1\r\n", k);
                piece = size + piece + "\r\n";
            }
            at += k;
            if (mode == "badchunk" && at > stream.size() / 2) {
                piece += "zz\r\n";
                at = stream.size();
                hold = true;
            }
            if (!send_all(fd, piece))
                break;
            if (at == stream.size() && framing && mode != "badchunk")
                send_all(fd, "0\r\n\r\n");
        } else if (!hold && mode != "silent" && mode != "table" && body) {
            break;
        }
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, body && at < stream.size() ? 2 : 200);
        if (r > 0) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            upstream.append(buf, static_cast<size_t>(n));
            size_t lf;
            while ((lf = upstream.find('\n')) != std::string::npos) {
                std::string line = upstream.substr(0, lf);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (record) {
                    fprintf(record, "%lld %s\n", now_ms() - start, line.c_str());
                    fflush(record);
                }
                upstream.erase(0, lf + 1);
            }
        }
        if (!body && mode != "silent" && mode != "table" && r == 0)
            break;  // an error answer: the caster closes
    }
    if (record)
        fclose(record);
    close(fd);
}
