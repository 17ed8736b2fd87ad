// rtkfeedd: feeds an NTRIP client's correction stream to a serial line.
#include "common/log.h"
#include "devices/devices.h"
#include "client/client.h"
#include "diagnostics/diagnostics.h"
#include "nmea/nmea.h"
#include "settings/settings.h"
#include "supervisor/cycle.h"
#include "common/service.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

static int fatal_exit(DataPath *dp)
{
    release_data_path(dp);
    write_status(102);
    return 1;
}

int main()
{
    setsid();
    install_stop_handler();
    log_open();
    write_status(1);

    // Shared with the generator thread by address, for the process's life.
    static Config *cfg = new Config();
    load_settings(cfg);

    write_mountpoint_file(*cfg);

    if (create_diagnostics_fifo() != 0) {
        log_err("%s - cannot %s fifo: %s", "main", "create", strerror(errno));
        write_status(102);
        return 1;
    }
    pthread_t slog_thread, generator_thread;
    bool slog_started = start_slog(&slog_thread) == 0;
    bool generator_started =
        cfg->send_nmea != 0 && cfg->source == 3 && start_generator(cfg, &generator_thread) == 0;

    static DataPath dp;
    init_data_path(&dp, cfg);
    dp.master = open_pty_link("/dev/rtkfeedd");
    if (dp.master < 0) {
        write_status(102);
        return 1;
    }
    // A stop while the target's lock is awaited is an orderly stop.
    if ((take_target(&dp) != 0 && !stop_requested()) || run_cycles(&dp) != 0)
        return fatal_exit(&dp);

    // Orderly shutdown: the client first, then the devices, then the threads.
    stop_client(&dp);
    release_data_path(&dp);
    if (slog_started)
        pthread_join(slog_thread, nullptr);
    if (generator_started)
        pthread_join(generator_thread, nullptr);
    log_notice("terminated");
    write_status(0);
    return 0;
}
