#include "devices/devices_internal.h"
#include "common/io.h"
#include "common/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static const gid_t service_group = 999;
static const char service_group_name[] = "deamons";

int remove_link(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;
    return unlink(path);
}

int open_pty_link(const char *link_path)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        log_err("Unable to open master pseudo-terminal. Function \"Posix_openpt\" end with: %d",
                master);
        return master;
    }
    if (grantpt(master) != 0) {
        log_err("Unable to change the ownership and access permission for pseudo-terminal. "
                "Function \"grantpt\" end with err: %d",
                1);
        close(master);
        return -1;
    }
    if (unlockpt(master) != 0) {
        log_err("Unable to unlock the slave pseudo-terminal device corresponding to the master "
                "pseudo-terminal. Function \"unlockpt\" end with err: %d",
                1);
        close(master);
        return -1;
    }
    char slave[64];
    int r = ptsname_r(master, slave, sizeof slave);
    if (r != 0) {
        log_err("Slave pseudo-terminal is unknown. Function \"ptsnam_r\" ends with %d", r);
        close(master);
        return -1;
    }
    if (chown(slave, getuid(), service_group) != 0) {
        log_err("Unable to add pseudo-terminal to %s group", service_group_name);
        close(master);
        return -1;
    }
    if (chmod(slave, 0770) != 0) {
        log_err("Unable to allow RW access pseudo-terminal for %s group", service_group_name);
        close(master);
        return -1;
    }
    // A link left by a run that was killed may point nowhere: it is replaced
    // all the same, or the daemon could never start again.
    r = remove_link(link_path);
    if (r != 0) {
        log_err("Unable to delete existed linked file %s, err:%d", link_path, r);
        close(master);
        return -1;
    }
    if (symlink(slave, link_path) != 0 && access(link_path, F_OK) != 0) {
        log_err("Unable to create symlink from %s -> %s, err: %d, errno: %s", slave, link_path, 1,
                strerror(errno));
        close(master);
        return -1;
    }
    if (lchown(link_path, getuid(), service_group) != 0) {
        log_err("Unable to change users permission of %s", link_path);
        unlink(link_path);
        close(master);
        return -1;
    }
    // Raw from the start: with the terminal's default echo, whatever is
    // written to the master before the user sets its own mode would come
    // straight back out and be relayed as if the user had sent it.
    termios t;
    if (tcgetattr(master, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    // The relay and the generator never wait on the master except in a
    // bounded readiness wait.
    set_nonblocking(master);
    log_notice("Pseudo-terminal has been opened with success. (%s -> %s)", link_path, slave);
    return master;
}
