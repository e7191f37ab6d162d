#!/usr/bin/env bash
# Runs the i686 Windows-side tests in an emulated 64-bit Debian guest, for machines
# whose kernel refuses 32-bit programs (scripts/probe-wine32.sh says so): the guest's
# own kernel runs them, so 32-bit Wine works there in both prefixes.
#
#   bash scripts/i686-guest.sh image      builds the guest disk, kernel and initrd once
#   bash scripts/i686-guest.sh prefixes   boots the guest once to make both Wine prefixes in its disk
#   bash scripts/i686-guest.sh ctest [ARGS...]
#                                         boots the guest and runs `ctest ARGS` there in the
#                                         repository (shared with the guest at the same path)
#   bash scripts/i686-guest.sh run CMD... boots the guest and runs CMD there (by hand)
#
# The guest is full-system emulation (qemu's TCG): this machine's /dev/kvm, where there
# is one, is paravirtual and far too slow. Everything lives in the cache folder
# MORVANE_GUEST_DIR (default ~/.cache/morvane-i686-guest), so a second run reuses the
# disk with its prefixes; each test run boots with -snapshot, so whatever the tests
# change in the guest's disk is dropped and every run starts from the same prefixes.
# The repository is shared read-write through 9p: test results and screenshots land in
# the build folder as if the tests had run here.
#
# Exit code: ctest's (or CMD's) exit code inside the guest; 125 when the guest could not
# be built or booted, or gave no exit code.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
guest=${MORVANE_GUEST_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/morvane-i686-guest}
image=$guest/disk.img
kernel=$guest/vmlinuz
initrd=$guest/initrd.img
# Bump when the guest's contents change, so that a cached guest is built again.
guest_version=3

log() { echo "i686-guest: $*" >&2; }

need() {
  local missing=() p
  for p in qemu-system-x86 mmdebstrap e2fsprogs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What the guest needs to run the i686 tests: both Wine loaders, a virtual screen and
# the tools the GUI tests drive it with, ctest, python3 for the state checks.
guest_packages=mount,kmod,procps,psmisc,linux-image-amd64,wine64,wine32:i386,fonts-wine,xvfb,xauth,xdotool,imagemagick,python3,cmake,util-linux

# The init the guest boots into: mounts the share (the repository) at /mnt/host, runs
# the script named on the kernel command line (a path inside the repository) with its
# output in a file beside it, writes its exit code there too and powers off.
write_init() {
  cat >"$1" <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
# The initramfs may have mounted some of these already.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
mount -t tmpfs tmp /tmp
mount -o remount,rw /
hostname morvane-guest
script=""
for word in $(cat /proc/cmdline); do
  case "$word" in
    morvane_script=*) script=/mnt/host/${word#morvane_script=} ;;
  esac
done
modprobe 9pnet_virtio 2>/dev/null
modprobe 9p 2>/dev/null
mkdir -p /mnt/host
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=none host /mnt/host; then
  echo "morvane-guest: running $script"
  /bin/bash "$script" </dev/null >"$script.log" 2>&1
  echo $? >"$script.rc"
  sync
else
  echo "morvane-guest: the share could not be mounted"
fi
# Read-only before the power-off, so that the kept disk (the prefixes) is clean; then
# wait in a loop of shell builtins: anything read from the disk after the power-off
# has begun fails and would kill init.
mount -o remount,ro / 2>/dev/null
echo o >/proc/sysrq-trigger
while :; do :; done
EOF
  chmod 755 "$1"
}

build_image() {
  if [ -f "$guest/ready-image" ] && [ "$(cat "$guest/ready-image")" = "$guest_version" ]; then return 0; fi
  need || { log "qemu-system-x86 and mmdebstrap could not be installed"; return 1; }
  rm -rf "$guest"
  mkdir -p "$guest"
  local root=$guest/root started=$SECONDS
  log "building the guest's system (Debian bookworm, amd64 with i386) in $guest"
  # Only a few '|| true' maintainer scripts run 32-bit code while the system is
  # built, so this works on a host that refuses 32-bit programs.
  if ! mmdebstrap --variant=apt --architectures=amd64,i386 --include="$guest_packages" \
       --customize-hook='printf "virtio_pci\nvirtio_blk\next4\n9pnet_virtio\n9p\n" >>"$1/etc/initramfs-tools/modules"' \
       --customize-hook='chroot "$1" update-initramfs -u -k all >/dev/null' \
       --customize-hook='rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*' \
       bookworm "$root" \
       "deb http://deb.debian.org/debian bookworm main" \
       "deb http://deb.debian.org/debian bookworm-updates main" \
       "deb http://deb.debian.org/debian-security bookworm-security main" >"$guest/mmdebstrap.log" 2>&1; then
    log "mmdebstrap failed; the end of $guest/mmdebstrap.log:"
    tail -n 20 "$guest/mmdebstrap.log" >&2
    return 1
  fi
  write_init "$root/sbin/morvane-init"
  cp "$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n1)" "$kernel"
  cp "$(ls "$root"/boot/initrd.img-* | sort -V | tail -n1)" "$initrd"
  if ! mke2fs -q -t ext4 -d "$root" "$image" 8G; then
    log "mke2fs failed"
    return 1
  fi
  rm -rf "$root"
  echo "$guest_version" >"$guest/ready-image"
  log "guest built in $((SECONDS - started)) s"
}

# The init lives in the disk; a changed init is written into a cached disk in place
# (debugfs, no mount) instead of building the whole guest again. debugfs follows no
# links, and /sbin is one in the guest (merged /usr).
refresh_init() {
  local wanted=$guest/morvane-init
  write_init "$wanted"
  if ! cmp -s "$wanted" <(debugfs -R "cat /usr/sbin/morvane-init" "$image" 2>/dev/null); then
    log "writing the new init into the guest's disk"
    printf 'rm /usr/sbin/morvane-init\nwrite %s /usr/sbin/morvane-init\nsif /usr/sbin/morvane-init mode 0100755\n' "$wanted" |
      debugfs -w -f - "$image" >/dev/null 2>&1 || return 1
    cmp -s "$wanted" <(debugfs -R "cat /usr/sbin/morvane-init" "$image" 2>/dev/null) || return 1
  fi
}

# Boots the guest with the script $1 (a file inside the repository); $2 "keep" writes
# to the disk, anything else boots with -snapshot. Echoes the script's exit code.
boot() {
  local script=$1 keep=${2:-} console=$guest/console.log
  refresh_init || { log "the guest's init could not be written into its disk"; echo 125; return 0; }
  local snapshot=(-snapshot)
  [ "$keep" = keep ] && snapshot=()
  rm -f "$script.rc"
  # -smap off: with it, every Wine process dies under TCG.
  rm -f "$script.log"
  : >"$script.log"
  timeout "${MORVANE_GUEST_TIMEOUT:-3600}" qemu-system-x86_64 \
    -accel tcg,thread=multi -cpu max,-smap -m "${MORVANE_GUEST_MEMORY:-4G}" -smp "$(nproc)" \
    -nographic -no-reboot -serial "file:$console" -monitor none \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/morvane-init panic=-1 quiet morvane_script=${script#"$here"/}" \
    -drive "file=$image,format=raw,if=virtio" "${snapshot[@]}" \
    -virtfs "local,path=$here,mount_tag=host,security_model=none" >/dev/null 2>&1 &
  local qemu=$!
  # What the script prints in the guest, as it prints it.
  tail -n +1 -f --pid="$qemu" "$script.log" >&2
  wait "$qemu"
  if [ ! -f "$script.rc" ]; then
    log "the guest gave no exit code; the end of its console ($console):"
    tail -n 20 "$console" >&2
    echo 125
    return 0
  fi
  cat "$script.rc"
}

# A script in the repository's build folder for the guest to run. Wine cannot run
# programs from the 9p share (its mappings of them read wrong: every 32-bit program
# faults at its first instruction), so the script copies what the tests need to the
# guest's own disk at the repository's path: the sources without build/ and .git, and
# the build folders of the programs, without objects, libraries, debug files and
# prefixes. It runs the command there, then copies every file the command wrote in the
# build folders back to the share, so results land here as if the tests had run here.
guest_script() {
  local script=$here/build/i686-guest/run.sh
  mkdir -p "$(dirname "$script")"
  {
    echo '#!/bin/bash'
    printf 'repo=%q\n' "$here"
    cat <<'EOF'
share=/mnt/host
mkdir -p "$repo"
(cd "$share" && tar -cf - --exclude=./build --exclude=./.git .) | tar -C "$repo" -xf - || exit 125
for dir in build/win32 build/win32-release build/win64-release; do
  [ -d "$share/$dir" ] || continue
  (cd "$share" && tar -cf - --exclude=CMakeFiles --exclude='*.obj' --exclude='*.a' \
     --exclude='*.debug' --exclude='wineprefix-*' --exclude=test-results "$dir") |
    tar -C "$repo" -xf - || exit 125
done
touch /tmp/staged
sleep 1
cd "$repo" || exit 125
export MORVANE_WINE_PREFIX_DIR=/var/lib/morvane-prefixes
export WINEDEBUG=-all
EOF
    echo "export MORVANE_SLOW=\${MORVANE_SLOW:-${MORVANE_GUEST_SLOW:-4}}"
    printf '%q ' "$@"
    echo
    cat <<'EOF'
rc=$?
find build -newer /tmp/staged -type f -print0 | tar --null -T - -cf - | tar -C "$share" -xf -
# Not left in a disk that is kept (the run that makes the prefixes).
cd / && rm -rf "$repo"
exit $rc
EOF
  } >"$script"
  echo "$script"
}

make_prefixes() {
  build_image || return 1
  if [ -f "$guest/ready-prefixes" ] && [ "$(cat "$guest/ready-prefixes")" = "$guest_version" ]; then return 0; fi
  local started=$SECONDS script rc
  log "making the WOW64 and the 32-bit-only Wine prefixes in the guest"
  script=$(guest_script bash -c 'for kind in wow64 x86; do
      MORVANE_WINE_PREFIX_KIND=$kind bash scripts/wine-run.sh cmd /c exit 0 || exit 1
      [ -f "$MORVANE_WINE_PREFIX_DIR/wineprefix-$kind/.morvane-prefix" ] || exit 1
    done')
  rc=$(boot "$script" keep)
  if [ "$rc" != 0 ]; then
    log "the prefixes could not be made (exit code $rc)"
    return 1
  fi
  echo "$guest_version" >"$guest/ready-prefixes"
  log "prefixes made in $((SECONDS - started)) s"
}

case "${1:-}" in
  image) build_image ;;
  prefixes) make_prefixes ;;
  ctest | run)
    what=$1
    shift
    make_prefixes || exit 125
    if [ "$what" = ctest ]; then set -- ctest "$@"; fi
    script=$(guest_script "$@")
    started=$SECONDS
    rc=$(boot "$script")
    log "the guest ran for $((SECONDS - started)) s; exit code $rc"
    exit "$rc"
    ;;
  *)
    sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
