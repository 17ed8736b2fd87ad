#include "client/client_internal.h"
#include "common/io.h"
#include "common/log.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

static const char table_path[] = "/var/tmp/ntrip_table";
static const int query_timeout_seconds = 30;

StrRecord parse_str_record(char *line, const char *mountpoint, std::string fields[STR_FIELDS])
{
    line[strcspn(line, "\r")] = '\0';
    line[strcspn(line, "\n")] = '\0';
    if (strncmp(line, "STR;", 4) != 0)
        return STR_OTHER;
    char *rest = line + 4;
    char *field = strsep(&rest, ";");
    if (strcmp(field, mountpoint) != 0)
        return STR_OTHER;
    fields[0] = field;
    for (int i = 1; i < STR_FIELDS; i++) {
        if (!rest) {
            for (int j = 0; j < i; j++)
                fields[j].clear();
            return STR_SHORT;
        }
        fields[i] = strsep(&rest, ";");
    }
    return STR_FILLED;
}

int find_mountpoint(FILE *table, const char *mountpoint, std::string fields[STR_FIELDS])
{
    // Read in 255-character pieces; a longer line is parsed from its first.
    char line[256];
    while (fgets(line, sizeof line, table)) {
        StrRecord r = parse_str_record(line, mountpoint, fields);
        if (r != STR_OTHER)
            return r == STR_FILLED ? 0 : -1;
    }
    return -1;
}

std::string format_mountpoint_info(const std::string f[STR_FIELDS])
{
    std::string out;
    out += "Mountpoint           : " + f[0] + "\n";
    out += "Identifier           : " + f[1] + "\n";
    out += "Format               : " + f[2] + "\n";
    out += "Format details       : " + f[3] + "\n";
    out += "Navigation system(s) : " + f[5] + "\n";
    out += "Network              : " + f[6] + "\n";
    out += std::string("NMEA required        : ") + (f[10] == "1" ? "Yes" : "No") + "\n";
    return out;
}

// "/var/tmp" is open to every user: whatever stands at the dump's path is
// removed and the dump created afresh, never through a planted link.
static int create_table_dump()
{
    if (unlink(table_path) != 0 && errno != ENOENT) {
        log_err("cannot remove %s: %s", table_path, strerror(errno));
        return -1;
    }
    int fd = open(table_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        log_err("cannot create %s: %s", table_path, strerror(errno));
    return fd;
}

int query_source_table(const Config &cfg, std::string *table)
{
    table->clear();
    int fd = create_table_dump();
    if (fd < 0)
        return -1;
    int out = dup(fd);
    if (out < 0) {
        close(fd);
        return -1;
    }
    char port[16];
    snprintf(port, sizeof port, "%u", cfg.port);
    // No shell: the address stays one argument whatever it holds.
    set_redirect(1, out);
    int r = run_command(query_timeout_seconds, "/opt/casterLink/bin/casterlink", "-s",
                        cfg.ipaddr.c_str(), "-r", port, "-i", "1", nullptr);
    if (r < 0 && errno == ETIMEDOUT)
        log_err("source table query did not end within %d s, casterlink killed",
                query_timeout_seconds);
    if (r < 0 || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    // Whatever it printed is read; whether it is a table, its exit status
    // says too.
    // A caster's table is a few hundred kB at most; more is not a table.
    char buf[4096];
    ssize_t n;
    while (table->size() < (8 << 20) && (n = read(fd, buf, sizeof buf)) > 0)
        table->append(buf, static_cast<size_t>(n));
    close(fd);
    return r;
}

int start_table_query(const Config &cfg, TableQuery *q)
{
    q->dump = create_table_dump();
    if (q->dump < 0)
        return -1;
    int out = dup(q->dump);
    char port[16];
    snprintf(port, sizeof port, "%u", cfg.port);
    const char *argv[] = {"-s", cfg.ipaddr.c_str(), "-r", port, "-i", "1", nullptr};
    set_redirect(1, out);
    q->watcher = out < 0 ? -1 : start_command("/opt/casterLink/bin/casterlink", argv);
    if (q->watcher < 0) {
        log_err("cannot start the source table query: %s", strerror(errno));
        close(q->dump);
        q->dump = -1;
        return -1;
    }
    q->end_fd = client_end_fd(q->watcher);
    q->deadline = monotonic_ms() + query_timeout_seconds * 1000LL;
    return 0;
}

static void query_over(TableQuery *q)
{
    close(q->dump);
    if (q->end_fd >= 0)
        close(q->end_fd);
    *q = TableQuery();
}

bool table_query_done(TableQuery *q, int *status, std::string *table)
{
    if (q->watcher < 0)
        return false;
    table->clear();
    pid_t r = waitpid(q->watcher, status, WNOHANG);
    if (r == 0 && monotonic_ms() < q->deadline)
        return false;
    if (r == 0) {
        log_err("source table query did not end within %d s, casterlink killed",
                query_timeout_seconds);
        abandon_table_query(q);
        *status = -1;
        return true;
    }
    if (r < 0)
        *status = -1;
    char buf[4096];
    ssize_t n;
    if (lseek(q->dump, 0, SEEK_SET) == 0)
        while (table->size() < (8 << 20) && (n = read(q->dump, buf, sizeof buf)) > 0)
            table->append(buf, static_cast<size_t>(n));
    query_over(q);
    return true;
}

void abandon_table_query(TableQuery *q)
{
    if (q->watcher < 0)
        return;
    end_watched(q->watcher, true);
    reap_child(q->watcher);
    query_over(q);
}

static const char info_path[] = "/run/mountpoint.ntrip";

void describe_mountpoint(const std::string &table, const std::string &mountpoint,
                         const std::string &otherwise)
{
    std::string fields[STR_FIELDS], info;
    for (const std::string *mp : {&mountpoint, &otherwise}) {
        FILE *f = table.empty() || mp->empty() || !info.empty()
                      ? nullptr
                      : fmemopen(const_cast<char *>(table.data()), table.size(), "r");
        if (!f)
            continue;
        if (find_mountpoint(f, mp->c_str(), fields) == 0)
            info = format_mountpoint_info(fields);
        fclose(f);
    }
    if (replace_file(info_path, info.data(), info.size(), 0666) != 0)
        log_err("Unable to save mountpoint info");
}

int write_mountpoint_file(const Config &cfg, std::string *table)
{
    // Empty while the query runs, as nothing is known yet; each content is
    // put in place whole.
    table->clear();
    if (replace_file(info_path, "", 0, 0666) != 0) {
        log_err("Unable to save mountpoint info");
        return -1;
    }
    int status = query_source_table(cfg, table);
    if (status >= 0)
        describe_mountpoint(*table, cfg.mountpoint, "");
    return status;
}
