#!/usr/bin/env bash
# Runs inside the system-test VM (tests/system/vm/boot.sh): the CUSE floor and frix
# measured in the same boot, so that their ratios mean something. Writes
# "<metric> <value> <unit>" lines to $FRIX_VM_RESULTS/bench.txt, one for each of the
# "runs" of a figure, and "failed <metric prefix> <reason>" for a run that failed.
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
frames=2000 lat=300 runs=3
[ -n "$quick" ] && frames=300 lat=60
# About the same bytes per size: fewer frames the larger they are.
reads() { case $1 in 640x480) echo $((frames / 5)) ;; 1920x1080) echo $((frames / 25)) ;; *) echo $((frames / 100)) ;; esac; }
streams() { case $1 in 3840x2160) echo $((frames / 4)) ;; *) echo $frames ;; esac; }
yuyv_bytes() { echo $((${1%x*} * ${1#*x} * 2)); }

record() { echo "$*" | tee -a "$out"; }
# What one command said, apart from frix's own log lines; then kept in the log.
said=/tmp/bench-said
# failed PREFIX EXIT-STATUS: a run that gave no figure, with the reason.
failed() {
  local why="exit status $2"
  [ "$2" = 124 ] && why="timed out"
  record "failed $1 $why: $(grep -v '^[<>]' "$said" | tail -n 1)"
}
# measure PREFIX ARGS...: runs the client and records its lines under the prefix; its
# exit status.
measure() {
  local prefix=$1 mode=run arg
  shift
  for arg in "$@"; do case $arg in ioctl | read | stream | draw) mode=$arg && break ;; esac; done
  # A pipe, not a process substitution: the guest's /dev has no /dev/fd.
  timeout 300 "$@" 2>"$said" | while read -r line; do
    [ -n "$line" ] && record "${prefix}_$line"
  done
  local status=${PIPESTATUS[0]}
  cat "$said" >>"$log"
  [ "$status" = 0 ] || failed "${prefix}_$mode" "$status"
  return "$status"
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
# A process's CPU ticks with its children's: frix-http serves the HTTP viewers.
cpu_ticks() {
  local total child
  total=$(awk '{print $14 + $15}' "/proc/$1/stat")
  for child in $(pgrep -P "$1"); do
    total=$((total + $(awk '{print $14 + $15}' "/proc/$child/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
# cpu_us TICKS COUNT: CPU µs per thing.
cpu_us() { awk -v c="$1" -v n="$2" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.1f", c / hz / n * 1e6}'; }
record "runs $runs count"

uname -r >"${FRIX_VM_RESULTS:-/tmp}/kernel.txt"

# The floor, serving all through the boot: besides its own figures here, it is measured
# again before and after each run of a frix figure, so that a change of the host's load
# between the two does not show as frix's.
"$build/bin/cuse_floor" -f --name frix-floor >>"$log" 2>&1 &
floor=$!
floor_up=
# floor_ioctl PREFIX COUNT: the floor's round trips, and its CPU per request meanwhile.
floor_ioctl() {
  local c0 calls
  c0=$(cpu_ticks $floor)
  measure "$1" "$client" ioctl /dev/frix-floor --count "$2" || return 0
  calls=$(awk -v key="$1_requests" '$1 == key {n = $2} END {print n}' "$out")
  record "floor_cpu_per_request $(cpu_us $(($(cpu_ticks $floor) - c0)) "$calls") us"
}
if wait_node /dev/frix-floor; then
  floor_up=yes
  floor_ioctl floor $((frames * 5))
  for size in $sizes; do
    measure "floor_$(yuyv_bytes $size)" "$client" read /dev/frix-floor --size "$(yuyv_bytes $size)" \
      --count "$(reads $size)"
  done
else
  record "failed floor the floor did not start"
fi
# floor_beside TAG ioctl|read SIZE: the floor's figure beside the frix figure TAG.
floor_beside() {
  [ -n "$floor_up" ] || return 0
  if [ "$2" = ioctl ]; then
    floor_ioctl "floor_$1" $frames
  else
    measure "floor_$1" "$client" read /dev/frix-floor --size "$(yuyv_bytes $3)" --count "$(reads $3)"
  fi
}

# start_frix MODE FPS NAME [OPTION...]: frix with the pattern driver and the options
# given, else no server; sets pid. A failure to start is recorded under frix_NAME.
start_frix() {
  local options=(--enable-server=off)
  [ $# -gt 3 ] && options=("${@:4}")
  "$build/bin/frix" -f --verbosity=4 --video_nr 0 "${options[@]}" --sched-fifo=-1 \
    --driver pattern --mode "$1" --fps "$2" >>"$log" 2>&1 &
  pid=$!
  wait_node $node && return 0
  record "failed frix_$3 frix did not start"
  return 1
}

# v4l2-ctl streaming: a run of one frame, then one of N. The difference of the two is
# the streaming alone (v4l2-ctl's set-up, its buffers' mapping and its teardown are in
# both): frames/s and daemon CPU per frame. The whole run of N is kept beside it.
v4l2ctl_run() {
  LD_PRELOAD=$ext timeout 300 v4l2-ctl -d $node --set-fmt-video=width=$1,height=$2,pixelformat=YUYV \
    --stream-mmap --stream-count="$3" >"$said" 2>&1
}
stream_v4l2ctl() {
  local tag=$1 w=$2 h=$3 n=$4
  local t0 c0 t1 c1 t2 c2 status
  c0=$(cpu_ticks $pid)
  t0=$(now_ns)
  v4l2ctl_run "$w" "$h" 1
  status=$?
  t1=$(now_ns)
  c1=$(cpu_ticks $pid)
  cat "$said" >>"$log"
  [ $status = 0 ] || { failed "${tag}_v4l2ctl" $status; return; }
  v4l2ctl_run "$w" "$h" "$n"
  status=$?
  t2=$(now_ns)
  c2=$(cpu_ticks $pid)
  cat "$said" >>"$log"
  if [ $status != 0 ]; then
    failed "${tag}_v4l2ctl" $status
  elif [ $((t2 - t1)) -le $((t1 - t0)) ]; then
    record "failed ${tag}_v4l2ctl the run of $n frames was no longer than the run of one"
  else
    record "${tag}_v4l2ctl_frames $(awk -v n=$((n - 1)) -v ns=$((t2 - t1 - (t1 - t0))) 'BEGIN{printf "%.1f", n / ns * 1e9}') frames/s"
    record "${tag}_v4l2ctl_whole_frames $(awk -v n=$n -v ns=$((t2 - t1)) 'BEGIN{printf "%.1f", n / ns * 1e9}') frames/s"
    record "${tag}_cpu_per_frame $(cpu_us $((c2 - c1 - (c1 - c0))) $((n - 1))) us"
  fi
}

# stream_client TAG SIZE N: the client's streaming loop, and the daemon's CPU per frame
# over the same timed frames.
stream_client() {
  measure "$1" env LD_PRELOAD="$ext" "$client" stream $node --size "$2" --map --count "$3" \
    --warmup 10 --cpu-of $pid
}

# memory_while PREFIX CLIENT-COMMAND...: frix's resident memory while the client runs,
# the /dev/shm buffer files apart from the heap and anonymous memory; read once a run.
memory_while() {
  local prefix=$1 streamer run
  shift
  "$@" >/dev/null 2>>"$log" &
  streamer=$!
  sleep 2
  for ((run = 0; run < runs; run++)); do
    sleep 1
    # An ended client that is not yet waited for still answers kill -0.
    if [[ ! "$(awk '{print $3}' "/proc/$streamer/stat" 2>/dev/null)" =~ ^[RSD]$ ]]; then
      record "failed $prefix the client ended before its daemon's memory was read"
      break
    fi
    awk -v p="$prefix" '/^[0-9a-f]+-[0-9a-f]+ / {kind = ($6 ~ /^\/dev\/shm\//) ? "shm" : ($6 == "" || $6 == "[heap]") ? "anon" : "other"}
         /^Rss:/ {rss[kind] += $2; total += $2}
         END {printf "%s_total %d KiB\n%s_buffers %d KiB\n%s_heap %d KiB\n%s_mapped_files %d KiB\n",
                     p, total, p, rss["shm"], p, rss["anon"], p, rss["other"]}' "/proc/$pid/smaps" |
      while read -r line; do record "$line"; done
  done
  kill $streamer 2>/dev/null
  wait $streamer 2>/dev/null
}

for mode in static moving; do
  start_frix $mode 0 $mode || continue
  for size in $sizes; do
    w=${size%x*} h=${size#*x} tag=frix_${mode}_${size}
    floor_beside "$tag" ioctl
    floor_beside "$tag" read $size
    # Runs interleaved with the floor's; the moving picture's drawing measured beside them.
    for ((run = 0; run < runs; run++)); do
      [ $mode = moving ] && measure "draw_$size" "$client" draw - --size "$size" \
        --count $(($(streams $size) / 10 + 5)) --warmup 2
      stream_v4l2ctl "$tag" "$w" "$h" "$(streams $size)"
      stream_client "$tag" "$size" "$(streams $size)"
      floor_beside "$tag" ioctl
      measure "$tag" "$client" read $node --size "$size" --count "$(reads $size)"
      floor_beside "$tag" read $size
    done
  done
  if [ $mode = static ]; then
    # 5 buffers at 1080p; a read() client's frames are on frix's heap, not in buffer files.
    memory_while frix_rss env LD_PRELOAD="$ext" "$client" stream $node --size 1920x1080 \
      --buffers 5 --map --count $((frames * 100))
    memory_while frix_read_rss "$client" read $node --size 1920x1080 --count $((frames * 100))
  fi
  stop $pid $node
done

# Latency at 30 frames/s, from each frame's due time on the pattern clock to its DQBUF.
if start_frix static 30 30fps; then
  for size in $sizes; do
    for ((run = 0; run < runs; run++)); do
      measure "frix_30fps_${size}" env LD_PRELOAD="$ext" "$client" stream $node --size "$size" \
        --map --stamp due --count $lat
    done
  done
  stop $pid $node
fi
# A producer's picture to a V4L2 app's dequeue through the feed driver, raw YUYV at the
# app's size and rate: the driver's own 30 frames/s pacing is in the figure.
feed=/tmp/frix-bench-feed
"$build/bin/frix" -f --verbosity=4 --video_nr 0 --enable-server=off --sched-fifo=-1 \
  --driver feed --input "$feed" --input-format yuyv422 --input-size 640x480 --sizes 640x480 \
  --fps 30 >>"$log" 2>&1 &
pid=$!
if wait_node $node; then
  for ((run = 0; run < runs; run++)); do
    "$client" produce "$feed" --size 640x480 --fps 30 --count $((lat + 120)) 2>>"$log" &
    producer=$!
    measure feed_30fps_640x480 env LD_PRELOAD="$ext" "$client" stream $node --size 640x480 \
      --map --stamp producer --warmup 30 --count $lat
    kill $producer 2>/dev/null
    wait $producer 2>/dev/null
  done
  stop $pid $node
else
  record "failed feed_30fps_640x480 frix did not start"
fi
# measure_beside LABEL COUNT KIND START REASON: COUNT consumers started in the background
# as "START FILE" (START execs the consumer, so that it is the one killed), then, once
# each FILE has bytes, the application's stream measured as LABEL; REASON is recorded
# when a consumer gets nothing.
measure_beside() {
  local label=$1 count=$2 kind=$3 start=$4 reason=$5 v i ready=yes started=()
  for ((v = 0; v < count; v++)); do
    "$start" "/tmp/$kind$v.out" &
    started+=($!)
  done
  for ((v = 0; v < count; v++)); do
    for ((i = 0; i < 100; i++)); do [ -s "/tmp/$kind$v.out" ] && break; sleep 0.1; done
    [ -s "/tmp/$kind$v.out" ] || ready=
  done
  # Only the start matters: the files are cut as they grow.
  for ((v = 0; v < count; v++)); do : >"/tmp/$kind$v.out"; done
  if [ -n "$ready" ]; then
    stream_v4l2ctl "$label" 640 480 $share_frames
  else
    record "failed $label $reason"
  fi
  for v in "${started[@]}"; do kill "$v" 2>/dev/null; wait "$v" 2>/dev/null; done
  rm -f /tmp/"$kind"*.out
}
view_stream() {
  exec curl -s -u ":$(cat $token 2>/dev/null)" --max-time 300 -o "$1" \
    http://127.0.0.1:9000/stream.mjpg 2>>"$log"
}
stream_beside() {
  export LD_PRELOAD=$ext
  exec timeout 300 v4l2-ctl -d $node --stream-mmap --stream-count=1000000 \
    --stream-to="$1" 2>>"$log"
}
# Sharing the camera: a V4L2 application alone, then beside 1 and 3 HTTP viewers that
# each take every frame; the daemon's CPU per frame of the application's stream.
ip link set lo up 2>/dev/null
share_frames=300
[ -n "$quick" ] && share_frames=60
if start_frix static 30 sharing --enable-server=required --server-option=--port=9000 \
  --server-option=--fps=30; then
  token=/run/frix/video0.token
  for ((i = 0; i < 50; i++)); do [ -s $token ] && break; sleep 0.1; done
  for ((run = 0; run < runs; run++)); do
    for viewers in 0 1 3; do
      measure_beside "consumers_$((viewers + 1))" $viewers viewer view_stream "a viewer got no frame"
    done
  done
  stop $pid $node
fi
# The same with 1 and 3 more V4L2 applications that each stream every frame
# (--shared-streaming), the measured one among them.
if start_frix static 30 shared --shared-streaming; then
  for ((run = 0; run < runs; run++)); do
    for others in 1 3; do
      measure_beside "shared_$((others + 1))" $others other stream_beside \
        "another application got no frame"
    done
  done
  stop $pid $node
fi
stop $floor /dev/frix-floor
echo "guest done" >>"$log"
