// rtkfeedd: feeds an NTRIP client's correction stream to a serial line.
#include "common/io.h"
#include "common/log.h"
#include "devices/devices.h"
#include "client/client.h"
#include "diagnostics/diagnostics.h"
#include "health/health.h"
#include "nmea/nmea.h"
#include "settings/settings.h"
#include "supervisor/choice.h"
#include "supervisor/cycle.h"
#include "supervisor/lines.h"
#include "supervisor/report.h"
#include "common/service.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

static int fatal_exit(Lines *lines)
{
    release_lines(lines);
    write_status(102);
    return 1;
}

static Cycle cycle;

// Every status change is reported at once.
static void on_status(int code)
{
    cycle.report.health.status = code;
    report_write(&cycle.report, cycle.lines);
}

static long long on_tick()
{
    return report_if_due(&cycle.report, cycle.lines);
}

int main(int argc, char **argv)
{
    // Other arguments are ignored, as they always were.
    if (argc > 1 && strcmp(argv[1], "--status") == 0)
        return print_status("/run/rtkfeedd.json");
    if (argc > 1 && strcmp(argv[1], "--metrics") == 0)
        return print_metrics("/run/rtkfeedd.json");
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("rtkfeedd %s\n", RTKFEEDD_VERSION);
        return 0;
    }
    setsid();
    notify_open();
    install_stop_handler();
    log_open();
    write_status(1);

    // Shared with the generator thread by address, for the process's life.
    static Config *cfg = new Config();
    load_settings(cfg);
    // Before this run's report replaces the earlier one, which names it. A
    // daemon that stopped in order has left nothing behind.
    ReportedDaemon earlier;
    if (read_report_daemon("/run/rtkfeedd.json", &earlier) == 0) {
        if (earlier.status != 0)
            end_leftovers_of(earlier.pid, earlier.proc_start);
    } else if (errno == EINVAL) {
        log_err("cannot use /run/rtkfeedd.json: %s, ignored", state_file_error(errno));
    }
    init_cycle(&cycle, cfg);
    set_status_observer(on_status);
    report_write(&cycle.report, cycle.lines);

    Choice &choice = cycle.choice;
    choice.table_read = table_was_read(write_mountpoint_file(*cfg, &choice.table), choice.table);
    init_choice(&choice, &cycle.report.health, *cfg);

    if (create_diagnostics_fifo() != 0) {
        log_err("%s - cannot %s fifo: %s", "main", "create", strerror(errno));
        write_status(102);
        return 1;
    }
    pthread_t slog_thread, generator_thread;
    bool slog_started = start_slog(&slog_thread) == 0;
    bool generator_started =
        cfg->send_nmea != 0 && cfg->source == 3 && start_generator(cfg, &generator_thread) == 0;

    cycle.lines.master = open_pty_link("/dev/rtkfeedd");
    if (cycle.lines.master < 0) {
        write_status(102);
        return 1;
    }
    // A stop while the target's lock is awaited is an orderly stop.
    if (take_target(&cycle.lines, *cfg) != 0 && !stop_requested())
        return fatal_exit(&cycle.lines);
    if (!stop_requested()) {
        set_tick_observer(on_tick);
        notify("READY=1");
        if (run_cycles(&cycle) != 0)
            return fatal_exit(&cycle.lines);
    }

    // Orderly shutdown: the client first, then the devices, then the threads.
    notify("STOPPING=1");
    stop_client(&cycle.run, &cycle.report, *cfg);
    release_lines(&cycle.lines);
    cycle.report.health.running = false;
    if (slog_started)
        pthread_join(slog_thread, nullptr);
    if (generator_started)
        pthread_join(generator_thread, nullptr);
    log_notice("terminated");
    write_status(0);
    return 0;
}
