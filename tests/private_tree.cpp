#include "private_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static bool in_namespace = false;

void must(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "private tree: %s: %s\n", what, strerror(errno));
        abort();
    }
}

static void fresh_tmpfs(const char *dir)
{
    umount2(dir, MNT_DETACH);
    must(mount("tmpfs", dir, "tmpfs", 0, "mode=0755") == 0, dir);
}

void make_private_tree(const char *client)
{
    if (!in_namespace) {
        must(geteuid() == 0, "the daemon tests need root");
        must(unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS)");
        must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
        in_namespace = true;
    }
    umount2("/dev/pts", MNT_DETACH);
    fresh_tmpfs("/dev");
    fresh_tmpfs("/run");
    fresh_tmpfs("/opt");
    fresh_tmpfs("/var/tmp");
    must(mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0, "mknod /dev/null");
    chmod("/dev/null", 0666);
    must(mkdir("/dev/pts", 0755) == 0, "mkdir /dev/pts");
    must(mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0,
         "mount devpts");
    must(symlink("pts/ptmx", "/dev/ptmx") == 0, "link /dev/ptmx");
    must(symlink("/proc/self/fd", "/dev/fd") == 0, "link /dev/fd");
    must(mkdir("/run/lock", 0755) == 0, "mkdir /run/lock");
    must(mkdir("/run/fake", 0755) == 0, "mkdir /run/fake");
    must(mkdir("/opt/casterLink", 0755) == 0 && mkdir("/opt/casterLink/bin", 0755) == 0 &&
             mkdir("/opt/casterLink/etc", 0755) == 0,
         "mkdir /opt/casterLink");
    must(symlink(client, "/opt/casterLink/bin/casterlink") == 0, "link client");
}

