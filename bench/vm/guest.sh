#!/usr/bin/env bash
# Runs inside the system-test VM (tests/system/vm/boot.sh): the CUSE floor and frix
# measured in the same boot, so that their ratios mean something. Writes
# "<metric> <value> <unit>" lines to $FRIX_VM_RESULTS/bench.txt.
#   guest.sh BUILD-DIR [quick]
set -uo pipefail
build=$(cd "${1:?usage: guest.sh BUILD-DIR [quick]}" && pwd)
quick=${2:-}
out=${FRIX_VM_RESULTS:-/tmp}/bench.txt
log=${FRIX_VM_RESULTS:-/tmp}/bench.log
: >"$out"
: >"$log"
client=$build/bin/cuse_floor_client
ext=$build/lib/libfrixext.so
node=/dev/video0
sizes="640x480 1920x1080 3840x2160"
frames=2000 lat=300
[ -n "$quick" ] && frames=300 lat=60
# About the same bytes per size: fewer frames the larger they are.
reads() { case $1 in 640x480) echo $((frames / 5)) ;; 1920x1080) echo $((frames / 25)) ;; *) echo $((frames / 100)) ;; esac; }
streams() { case $1 in 3840x2160) echo $((frames / 4)) ;; *) echo $frames ;; esac; }
yuyv_bytes() { echo $((${1%x*} * ${1#*x} * 2)); }

record() { echo "$*" | tee -a "$out"; }
# client ARGS...: runs the client and records its lines under a prefix.
measure() {
  local prefix=$1
  shift
  # A pipe, not a process substitution: the guest's /dev has no /dev/fd.
  timeout 300 "$@" 2>>"$log" | while read -r line; do
    [ -n "$line" ] && record "${prefix}_$line"
  done
}
wait_node() {
  local i
  for ((i = 0; i < 300; i++)); do
    # The node shows before the daemon answers on it.
    [ -c "$1" ] && sleep 0.5 && return 0
    sleep 0.1
  done
  echo "no $1" >>"$log"
  return 1
}
stop() {
  kill "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  local i
  for ((i = 0; i < 100; i++)); do [ -e "$2" ] || return 0; sleep 0.1; done
}
now_ns() { date +%s%N; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

uname -r >"${FRIX_VM_RESULTS:-/tmp}/kernel.txt"

# The machine's memory-copy rate at frame size: what writing a moving frame costs at least.
for size in $sizes; do
  bytes=$(yuyv_bytes $size)
  measure "memcpy_$bytes" "$client" copy - --size "$bytes" --count $((600000000 / bytes + 20)) --warmup 2
done

# The floor, serving all through the boot: besides its own figures here, it is measured
# again right before and right after each frix figure, so that a change of the host's
# load between the two does not show as frix's.
"$build/bin/cuse_floor" -f --name frix-floor >>"$log" 2>&1 &
floor=$!
floor_up=
if wait_node /dev/frix-floor; then
  floor_up=yes
  measure floor "$client" ioctl /dev/frix-floor --count $((frames * 5))
  for size in $sizes; do
    measure "floor_$(yuyv_bytes $size)" "$client" read /dev/frix-floor --size "$(yuyv_bytes $size)" \
      --count "$(reads $size)"
  done
fi
# floor_beside TAG ioctl|read SIZE: the floor's figure for the frix figure TAG (TAG_after
# for the one after it).
floor_beside() {
  [ -n "$floor_up" ] || return 0
  if [ "$2" = ioctl ]; then
    measure "floor_$1" "$client" ioctl /dev/frix-floor --count $frames
  else
    measure "floor_$1" "$client" read /dev/frix-floor --size "$(yuyv_bytes $3)" --count "$(reads $3)"
  fi
}

# start MODE FPS: frix with the pattern driver; sets pid.
start_frix() {
  "$build/bin/frix" -f --verbosity=4 --video_nr 0 --enable-server=off --sched-fifo=-1 \
    --driver pattern --mode "$1" --fps "$2" >>"$log" 2>&1 &
  pid=$!
  wait_node $node
}

# v4l2-ctl streaming of N frames: frames/s over the whole run, daemon CPU per frame.
stream_v4l2ctl() {
  local tag=$1 w=$2 h=$3 n=$4
  local t0 c0 t1 c1
  c0=$(cpu_ticks $pid)
  t0=$(now_ns)
  LD_PRELOAD=$ext timeout 300 v4l2-ctl -d $node --set-fmt-video=width=$w,height=$h,pixelformat=YUYV \
    --stream-mmap --stream-count="$n" >>"$log" 2>&1 || echo "v4l2-ctl $tag failed" >>"$log"
  t1=$(now_ns)
  c1=$(cpu_ticks $pid)
  record "${tag}_v4l2ctl_frames $(awk -v n=$n -v ns=$((t1 - t0)) 'BEGIN{printf "%.1f", n / ns * 1e9}') frames/s"
  record "${tag}_cpu_per_frame $(awk -v n=$n -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.1f", c / hz / n * 1e6}') us"
}

for mode in static moving; do
  start_frix $mode 0 || continue
  for size in $sizes; do
    w=${size%x*} h=${size#*x}
    floor_beside "frix_${mode}_${size}" ioctl
    stream_v4l2ctl "frix_${mode}_${size}" "$w" "$h" "$(streams $size)"
    measure "frix_${mode}_${size}" env LD_PRELOAD="$ext" "$client" stream $node --size "$size" \
      --map --stamp end --count "$(streams $size)"
    floor_beside "frix_${mode}_${size}_after" ioctl
    floor_beside "frix_${mode}_${size}" read $size
    measure "frix_${mode}_${size}" "$client" read $node --size "$size" --count "$(reads $size)"
    floor_beside "frix_${mode}_${size}_after" read $size
  done
  if [ $mode = static ]; then
    # Memory with 5 buffers at 1080p while a client streams: the buffer files apart.
    LD_PRELOAD=$ext "$client" stream $node --size 1920x1080 --buffers 5 --map \
      --count $((frames * 10)) >/dev/null 2>>"$log" &
    streamer=$!
    sleep 3
    awk '/^[0-9a-f]+-[0-9a-f]+ / {kind = ($6 ~ /^\/dev\/shm\//) ? "shm" : ($6 == "" || $6 == "[heap]") ? "anon" : "other"}
         /^Rss:/ {rss[kind] += $2; total += $2}
         END {printf "frix_rss_total %d KiB\nfrix_rss_buffers %d KiB\nfrix_rss_heap %d KiB\nfrix_rss_mapped_files %d KiB\n",
                     total, rss["shm"], rss["anon"], rss["other"]}' "/proc/$pid/smaps" | while read -r line; do record "$line"; done
    kill $streamer 2>/dev/null
    wait $streamer 2>/dev/null
  fi
  stop $pid $node
done

# Latency at 30 frames/s.
if start_frix static 30; then
  for size in $sizes; do
    measure "frix_30fps_${size}" env LD_PRELOAD="$ext" "$client" stream $node --size "$size" \
      --map --stamp end --count $lat
  done
  stop $pid $node
fi
stop $floor /dev/frix-floor
echo "guest done" >>"$log"
