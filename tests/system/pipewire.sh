# shellcheck shell=bash
# A user session for PipeWire cases: a session bus, PipeWire and WirePlumber run as a
# user who is not root, with helpers to act as that user and to play logind's seat record.

# A user that the (read-only) password database knows: the session bus insists on one.
PW_UID=$(id -u nobody)

# as_user CMD...: runs CMD as the session's user with the session's environment (its
# bus too, once the session runs). PW_DEBUG and WP_DEBUG, when set, are the session's
# PipeWire and WirePlumber log levels.
as_user() {
  local extra=()
  [ ! -s "${PW_HOME:-}/bus" ] || extra+=(DBUS_SESSION_BUS_ADDRESS="$(cat "$PW_HOME/bus")")
  [ -z "${PW_DEBUG:-}" ] || extra+=(PW_DEBUG="$PW_DEBUG")
  [ -z "${WP_DEBUG:-}" ] || extra+=(WP_DEBUG="$WP_DEBUG")
  setpriv --reuid=$PW_UID --regid=$PW_UID --clear-groups \
    env -i HOME="$PW_HOME" XDG_RUNTIME_DIR="$PW_RUNTIME" PATH=/usr/bin:/bin "${extra[@]}" \
    "$@"
}

# start_session [RUNTIME_DIR]: a session bus, PipeWire and WirePlumber, each restarted
# when it ends. RUNTIME_DIR is the user's XDG_RUNTIME_DIR, a fresh one under /tmp by
# default.
start_session() {
  PW_HOME=$(mktemp -d /tmp/pwhome.XXXXXX)
  PW_RUNTIME=${1:-$(mktemp -d /tmp/pwrun.XXXXXX)}
  mkdir -p "$PW_RUNTIME"
  chmod 0700 "$PW_RUNTIME"
  chown $PW_UID:$PW_UID "$PW_HOME" "$PW_RUNTIME"
  chmod 0777 "$CASE_DIR"
  # WirePlumber quits when it cannot watch logind's directories; the guest has no logind.
  mkdir -p /run/systemd/seats /run/systemd/sessions /run/systemd/users /run/systemd/machines
  cat >"$PW_HOME/session.sh" <<'SH'
cd "$HOME"
echo "$DBUS_SESSION_BUS_ADDRESS" >"$HOME/bus.new" && mv "$HOME/bus.new" "$HOME/bus"
(while [ ! -e "$HOME/stop" ]; do PIPEWIRE_DEBUG=${PW_DEBUG:-2} pipewire >>"$HOME/pipewire.log" 2>&1; sleep 0.2; done) &
(while [ ! -e "$HOME/stop" ]; do WIREPLUMBER_DEBUG=${WP_DEBUG:-2} wireplumber >>"$HOME/wireplumber.log" 2>&1; sleep 0.2; done) &
wait
SH
  as_user timeout 600 dbus-run-session -- bash "$PW_HOME/session.sh" >"$CASE_DIR/session.log" 2>&1 &
  PW_SESSION=$!
  wait_until 30 test -s "$PW_HOME/bus" || fail "the session bus did not start"
  wait_until 30 test -S "$PW_RUNTIME/pipewire-0" || fail "PipeWire did not start"
  wait_until 30 as_user timeout 5 wpctl status >/dev/null 2>&1 || fail "wpctl cannot reach PipeWire"
}

stop_session() {
  [ -n "${PW_SESSION:-}" ] || return 0
  touch "$PW_HOME/stop"
  pkill -TERM -u $PW_UID -x pipewire 2>/dev/null || true
  pkill -TERM -u $PW_UID -x wireplumber 2>/dev/null || true
  wait_until 20 bash -c "! kill -0 $PW_SESSION 2>/dev/null" || kill -KILL "$PW_SESSION" 2>/dev/null
  cp "$PW_HOME"/*.log "$CASE_DIR/" 2>/dev/null || true
  PW_SESSION=
}

# pw_dump_python FILE: the Python program on stdin, with `objects` holding every object of
# the pw-dump output in FILE (pw-dump prints more than one array when the graph changes
# while it runs).
pw_dump_python() {
  python3 -c 'import json, sys
text, objects, at = open(sys.argv[1]).read(), [], 0
decoder = json.JSONDecoder()
while at < len(text.rstrip()):
    while text[at].isspace():
        at += 1
    value, at = decoder.raw_decode(text, at)
    objects += value
'"$(cat)" "$1"
}

node_listed() {
  as_user timeout 10 pw-dump >"$CASE_DIR/dump.json" 2>/dev/null &&
    grep -q '"node.name": "frix.video0"' "$CASE_DIR/dump.json"
}

node_gone() { ! node_listed; }

# seat_active [UID]: logind's record of seat0 with UID active, or nobody; replaced in one
# rename, as logind does, so that a watcher sees it whole.
seat_active() {
  {
    echo "IS_SEAT0=1"
    [ -z "${1:-}" ] || printf 'ACTIVE=c%s\nACTIVE_UID=%s\n' "$1" "$1"
  } >/run/systemd/seats/.seat0.new
  mv /run/systemd/seats/.seat0.new /run/systemd/seats/seat0
}
