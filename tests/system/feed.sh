# shellcheck shell=bash
# What the feed driver's cases share: the daemon with the feed driver, its pipe, its log.

FEED_PIPE=/run/frix/feed

with_ext() {
  LD_PRELOAD=$FRIX_EXT "$@"
}

# start_feed [driver options...]: frix with the feed driver, its pipe ready.
start_feed() {
  FRIX_DRIVER=feed start_frix "$@"
  wait_until 30 test -p "$FEED_PIPE" || fail "no pipe at $FEED_PIPE"
  [ "$(stat -c %a "$FEED_PIPE")" = 660 ] || fail "pipe mode $(stat -c %a "$FEED_PIPE"), expected 660"
}

# wait_log SECONDS REGEX: until frix has logged a matching line.
wait_log() {
  wait_until "$1" grep -qE -- "$2" "$CASE_DIR/frix.log" || { cat "$CASE_DIR/frix.log" >&2; fail "frix did not log /$2/"; }
}
