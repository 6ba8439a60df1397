#!/usr/bin/env bash
# Boots the system-test VM once and runs one command in it, as root, chrooted into a
# read-only view of this machine's file system (so the build tree has the same path
# inside). The guest has CUSE, a private /tmp and /dev/shm, and a writable results
# directory at the same path as on the host.
#   boot.sh [-t seconds] [-o results-dir] command [args...]
# Exits with the command's status; 124 when the VM had to be stopped, 125 when it
# could not run the command at all.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
limit=900
results=
while getopts "t:o:" opt; do
  case "$opt" in
    t) limit=$OPTARG ;;
    o) results=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || { echo "usage: boot.sh [-t seconds] [-o results-dir] command [args...]" >&2; exit 2; }

mapfile -t boot < <("$here/prepare.sh")
[ ${#boot[@]} -eq 2 ] || { echo "boot: the VM could not be prepared" >&2; exit 125; }

if [ -z "$results" ]; then
  results=$(mktemp -d /tmp/frix-vm.XXXXXX)
else
  mkdir -p "$results"
  results=$(cd "$results" && pwd)
fi
rm -f "$results/status"

{
  echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  echo "export HOME=/tmp TMPDIR=/tmp FRIX_VM_RESULTS=$(printf '%q' "$results")"
  echo "cd $(printf '%q' "$PWD")"
  printf 'exec'
  printf ' %q' "$@"
  echo
} >"$results/job"

status=0
timeout -k 10 "$limit" qemu-system-x86_64 -m 2048 -smp 2 -nographic -no-reboot \
  -kernel "${boot[0]}" -initrd "${boot[1]}" \
  -append "console=ttyS0 quiet panic=-1 frix.out=$results frix.keep=$PWD" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$results,mount_tag=out,security_model=none" \
  </dev/null 2>&1 | tr -d '\r' | sed -u -e '1,/^Booting from ROM/d' -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\x1bc//g' \
  -e '/reboot: Power down/d' || status=$?

if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "boot: the VM did not finish within ${limit}s" >&2
  exit 124
fi
if [ ! -s "$results/status" ]; then
  echo "boot: the VM ended without running the command to its end" >&2
  exit 125
fi
exit "$(cat "$results/status")"
