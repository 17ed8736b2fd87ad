#!/bin/sh
# Makes the Debian package of a build tree and checks it as a user would
# meet it: lintian reports no errors; then, in a private mount namespace
# with an overlay over / (this machine is not changed), dpkg -i puts the
# files where they belong and enables the unit, the daemon runs, systemd
# accepts the unit, and dpkg -r and dpkg -P leave nothing behind.
# For a cross build (arm64) only the package itself is checked.
#   tests/package_test.sh BUILD_DIR [arm64]
set -eu

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ "${1:-}" = "--inside" ]; then
    deb=$2
    t=$(mktemp -d /tmp/rtkfeedd-package.XXXXXX)
    mount -t tmpfs tmpfs "$t"
    mkdir "$t/upper" "$t/work" "$t/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$t/upper,workdir=$t/work" "$t/root"
    root=$t/root
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs "$root/tmp"
    cp "$deb" "$root/tmp/rtkfeedd.deb"
    in_root() { chroot "$root" "$@"; }

    in_root dpkg -i /tmp/rtkfeedd.deb >/dev/null || fail "dpkg -i"
    for f in /usr/sbin/rtkfeedd /usr/sbin/casterlink-str2str /usr/sbin/rtkfeedd-mqtt \
        /usr/sbin/rtkfeedd-ntrip /usr/share/man/man8/rtkfeedd-ntrip.8.gz \
        /usr/share/man/man8/rtkfeedd.8.gz /usr/share/man/man8/casterlink-str2str.8.gz \
        /usr/share/man/man8/rtkfeedd-mqtt.8.gz /usr/lib/systemd/system/rtkfeedd-mqtt.service \
        /usr/lib/systemd/system/rtkfeedd.service /usr/share/doc/rtkfeedd/copyright \
        /usr/share/doc/rtkfeedd/changelog.gz; do
        [ -f "$root$f" ] || fail "$f is not installed"
    done
    [ ! -e "$root/etc/init.d/rtkfeedd" ] || fail "the procd script is in the package"
    [ ! -e "$root/etc/init.d/rtkfeedd-mqtt" ] || fail "the publisher's procd script is in the package"
    in_root dpkg -L rtkfeedd | grep -q '^/opt' && fail "files under /opt"
    [ "$(readlink "$root/opt/casterLink/bin/casterlink")" = /usr/sbin/rtkfeedd-ntrip ] ||
        fail "the client is not linked into place"
    version=$(in_root rtkfeedd-ntrip --version) || fail "rtkfeedd-ntrip --version"
    [ "$version" = "rtkfeedd-ntrip $RTKFEEDD_VERSION" ] || fail "rtkfeedd-ntrip --version says '$version'"
    [ -L "$root/etc/systemd/system/multi-user.target.wants/rtkfeedd.service" ] ||
        fail "the unit is not enabled"
    version=$(in_root rtkfeedd --version) || fail "rtkfeedd --version"
    [ "$version" = "rtkfeedd $RTKFEEDD_VERSION" ] || fail "rtkfeedd --version says '$version'"
    version=$(in_root rtkfeedd-mqtt --version) || fail "rtkfeedd-mqtt --version"
    [ "$version" = "rtkfeedd-mqtt $RTKFEEDD_VERSION" ] || fail "rtkfeedd-mqtt --version says '$version'"
    # --man=no: formatting the man page would leave a page in man's cache.
    in_root systemd-analyze verify --man=no /usr/lib/systemd/system/rtkfeedd.service \
        /usr/lib/systemd/system/rtkfeedd-mqtt.service || fail "systemd-analyze verify"
    [ -L "$root/etc/systemd/system/multi-user.target.wants/rtkfeedd-mqtt.service" ] ||
        fail "the publisher's unit is not enabled"
    grep -q '^ConditionPathExists=/opt/casterLink/etc/settings$' \
        "$root/usr/lib/systemd/system/rtkfeedd.service" || fail "no ConditionPathExists"
    for line in Type=notify WatchdogSec=30; do
        grep -q "^$line\$" "$root/usr/lib/systemd/system/rtkfeedd.service" || fail "no $line"
    done

    in_root dpkg -r rtkfeedd >/dev/null || fail "dpkg -r"
    [ ! -e "$root/usr/sbin/rtkfeedd" ] || fail "dpkg -r left the daemon"
    [ ! -e "$root/etc/systemd/system/multi-user.target.wants/rtkfeedd.service" ] ||
        fail "dpkg -r left the unit enabled"
    [ ! -e "$root/opt/casterLink" ] || fail "dpkg -r left the client's link"
    in_root dpkg -P rtkfeedd >/dev/null || fail "dpkg -P"
    in_root dpkg -s rtkfeedd >/dev/null 2>&1 && fail "still known to dpkg after dpkg -P"
    # A client that stands there already, the router's own, stays as it is.
    mkdir -p "$root/opt/casterLink/bin"
    printf '#!/bin/sh\n' >"$root/opt/casterLink/bin/casterlink"
    in_root dpkg -i /tmp/rtkfeedd.deb >/dev/null || fail "dpkg -i over a client of the router's"
    if [ ! -f "$root/opt/casterLink/bin/casterlink" ] || [ -L "$root/opt/casterLink/bin/casterlink" ]; then
        fail "the router's client was replaced"
    fi
    in_root dpkg -P rtkfeedd >/dev/null || fail "dpkg -P"
    [ -f "$root/opt/casterLink/bin/casterlink" ] || fail "the router's client was removed"
    rm -r "$root/opt/casterLink"
    left=$(find "$t/upper" -name '*rtkfeedd*')
    [ -z "$left" ] || fail "left behind: $left"
    echo "installed, ran and removed cleanly"
    exit 0
fi

build=$(cd "$1" && pwd)
arch=${2:-$(dpkg --print-architecture)}
RTKFEEDD_VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
export RTKFEEDD_VERSION
cd "$build"
rm -f rtkfeedd_*.deb
cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; fail "cpack"; }
deb=$build/rtkfeedd_${RTKFEEDD_VERSION}_$arch.deb
[ -f "$deb" ] || fail "no $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
dpkg-deb --field "$deb" Architecture | grep -qx "$arch" || fail "not an $arch package"
dpkg-deb --field "$deb" Depends |
    grep -Eq '^libc6 \(>= [0-9.]+\), libmosquitto1 \(>= [0-9.]+\), libssl3 \(>= [0-9.]+\)$' ||
    fail "Depends is not libc, libmosquitto and libssl"

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    x=$(mktemp -d)
    dpkg-deb -x "$deb" "$x"
    for program in rtkfeedd rtkfeedd-mqtt rtkfeedd-ntrip; do
        file "$x/usr/sbin/$program" | tee /dev/stderr | grep -q 'ARM aarch64' ||
            fail "$program is not an aarch64 binary"
    done
    rm -rf "$x"
    exit 0
fi
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"
exec unshare --mount --propagation private sh "$0" --inside "$deb"
