#!/bin/busybox sh
# shellcheck shell=dash
# First process of the test guest: loads the USB and 9p modules, mounts the
# host's root (read-only) and the test's work folder (writable) over 9p,
# chroots into the host's root to run the scenarios, and hands their verdict
# to QEMU through the isa-debug-exit port (0x10: all passed, 0x01: failed).
/bin/busybox --install -s /bin
export PATH=/bin

finish() {
    echo "[$(cut -d" " -f1 /proc/uptime)] guest: $1"
    # (value << 1) | 1 becomes QEMU's exit status; poweroff is the fallback
    # and makes QEMU exit 0, which the host never takes for a pass.
    byte="\\$(printf '%03o' "$2")"
    # shellcheck disable=SC2059 # the format is the octal escape of the byte
    printf "$byte" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
    poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module options; do
    # shellcheck disable=SC2086 # the options are separate words
    insmod "/modules/$module.ko" $options || finish "cannot load $module" 1
done </modules/order

echo "[$(cut -d" " -f1 /proc/uptime)] guest: modules loaded"
root=/host
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot $root || finish "cannot mount the host's root" 1
# devtmpfs has no /dev/fd; bash's process substitution needs it.
ln -s /proc/self/fd /dev/fd
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -o rbind /dev $root/dev
mount -t proc proc $root/proc
mount -t sysfs sysfs $root/sys
mount -t configfs configfs $root/sys/kernel/config
# The host's /tmp stays visible (the programs may be built there); scratch
# files go to the work folder instead.
mount -t tmpfs tmpfs $root/run
mkdir -p "$root$TORVEX_WORK" 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 work "$root$TORVEX_WORK" || finish "cannot mount the work folder" 1

mkdir -p "$root$TORVEX_WORK/tmp"
chroot $root /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb TMPDIR="$TORVEX_WORK/tmp" \
    /bin/bash "$TORVEX_SCENARIOS" "$TORVEX_WORK"
case $? in
0) finish "all scenarios passed" 16 ;;
*) finish "scenarios failed" 1 ;;
esac
