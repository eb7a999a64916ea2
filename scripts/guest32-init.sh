#!/bin/busybox sh
# PID 1 of the test guest (see scripts/run32.sh). It mounts the host's root
# read-only over 9p under a writable layer in memory, the host's build tree
# writable at its own path, runs the one command that run32.sh left in the
# run folder, writes its exit status beside it and powers the guest off.
/bin/busybox --install -s /bin
export PATH=/bin

fail() {
  echo "guest32-init: $*"
  poweroff -f
  sleep 10
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

arg() { sed -n "s/.*diorx\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
share=$(arg share)
run=$(arg run)
[ -n "$share" ] && [ -n "$run" ] || fail "diorx.share= and diorx.run= are needed on the kernel command line"

for m in $(cat /modules/order); do
  insmod "/modules/$m.ko" || fail "cannot load module $m"
done

# The host's root changes under nobody during a run: cache it in full.
ninep="trans=virtio,version=9p2000.L,msize=262144"
mount -t 9p -o "$ninep,ro,cache=loose" hostroot /lower || fail "cannot mount the host's root"
mount -t tmpfs -o mode=755 rw /rw || fail "cannot mount the writable layer"
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot || fail "cannot mount the overlay"
mkdir -p "/newroot$share"
mount -t 9p -o "$ninep,cache=mmap" share "/newroot$share" || fail "cannot mount the build tree"

n=/newroot
mount -t proc proc $n/proc
mount -t sysfs sysfs $n/sys
mount -t devtmpfs devtmpfs $n/dev
mkdir -p $n/dev/pts $n/dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts $n/dev/pts
mount -t tmpfs -o mode=1777 shm $n/dev/shm
mount -t tmpfs -o mode=1777 tmp $n/tmp
mount -t tmpfs -o mode=755 run $n/run
# bash's process substitution and "cat /dev/stdin" need these.
ln -sfn /proc/self/fd $n/dev/fd
ln -sfn /proc/self/fd/0 $n/dev/stdin
ln -sfn /proc/self/fd/1 $n/dev/stdout
ln -sfn /proc/self/fd/2 $n/dev/stderr
ip link set lo up 2>/dev/null
hostname guest32

[ -f "$n$run/cmd.sh" ] || fail "no command in $run"
# Output to a file, never to the serial console: Wine decorates every
# character it writes to a terminal.
chroot $n /usr/bin/env -i DIORX_GUEST=1 HOME=/root USER=root LOGNAME=root TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash "$run/cmd.sh" </dev/null >"$n$run/out" 2>&1
echo $? >"$n$run/rc.tmp"
mv "$n$run/rc.tmp" "$n$run/rc"
sync
poweroff -f
sleep 10
