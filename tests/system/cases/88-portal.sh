# shellcheck shell=bash source=tests/system/pipewire.sh
# Browsers through the camera portal: the seated user's session runs xdg-desktop-portal
# with a stand-in for the desktop's Access dialog, frix as root publishes into that
# user's PipeWire, and a browser started the ordinary way, with only the packaged switch
# installed, shows the camera.

source "$(dirname "${BASH_SOURCE[0]}")/../pipewire.sh"
# shellcheck source=tests/system/browser.sh
source "$(dirname "${BASH_SOURCE[0]}")/../browser.sh"

PORTAL_DESKTOP=frixtest
PORTAL_BACKEND=org.freedesktop.impl.portal.desktop.frixtest
PORTAL_PIDS=()
# Which clients WirePlumber lets see the camera.
WP_DEBUG=${WP_DEBUG:-3}

# as_user_in_background NAME CMD...: CMD as the session's user, in the background; its own
# process id (not a subshell's) joins PORTAL_PIDS, so that stopping it stops CMD.
as_user_in_background() {
  local pidfile=$PW_HOME/$1.pid
  shift
  rm -f "$pidfile"
  as_user bash -c 'echo $$ >"$0"; exec "$@"' "$pidfile" "$@" &
  wait_until 10 test -s "$pidfile" || fail "$1 did not start"
  PORTAL_PIDS+=("$(cat "$pidfile")")
}

# portal_call METHOD ARGS...: a call on the portal as the session's user.
portal_call() {
  as_user timeout 20 gdbus call --session --dest org.freedesktop.portal.Desktop \
    --object-path /org/freedesktop/portal/desktop --method "$@"
}

camera_present() {
  [ "$(portal_call org.freedesktop.DBus.Properties.Get org.freedesktop.portal.Camera \
    IsCameraPresent 2>/dev/null)" = "(<true>,)" ]
}

# start_portal: the Access dialog's stand-in, found through a .portal file for this
# desktop, and xdg-desktop-portal. The portal takes the cameras PipeWire has as it starts:
# start it once frix's node is there, as at a login after the service started.
start_portal() {
  local tools portals=$PW_HOME/portals
  tools=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tools" && pwd)
  mkdir -p "$portals"
  printf '[portal]\nDBusName=%s\nInterfaces=org.freedesktop.impl.portal.Access;\nUseIn=%s\n' \
    "$PORTAL_BACKEND" "$PORTAL_DESKTOP" >"$portals/$PORTAL_DESKTOP.portal"
  as_user_in_background access /usr/bin/python3 "$tools/access_dialog.py" "$PORTAL_BACKEND" \
    >"$CASE_DIR/access.txt" 2>&1
  wait_until 30 grep -q '^Serving' "$CASE_DIR/access.txt" ||
    fail "the Access dialog's stand-in did not start: $(cat "$CASE_DIR/access.txt")"
  as_user_in_background portal env XDG_DESKTOP_PORTAL_DIR="$portals" \
    XDG_CURRENT_DESKTOP=$PORTAL_DESKTOP /usr/libexec/xdg-desktop-portal --verbose \
    >"$CASE_DIR/portal.txt" 2>&1
  wait_until 60 grep -q 'org.freedesktop.portal.Desktop acquired' "$CASE_DIR/portal.txt" ||
    fail "xdg-desktop-portal did not start: $(tail -n 20 "$CASE_DIR/portal.txt")"
  expect_file_match "$CASE_DIR/portal.txt" "Using $PORTAL_DESKTOP.portal for org.freedesktop.impl.portal.Access"
  expect_file_match "$CASE_DIR/portal.txt" 'providing portal org.freedesktop.portal.Camera'
}

# end_process PID: TERM, then KILL if it is still there after 10 s.
end_process() {
  kill -TERM "$1" 2>/dev/null || true
  wait_until 10 bash -c "! kill -0 $1 2>/dev/null" || kill -KILL "$1" 2>/dev/null || true
}

# stop_portal: the portal, its Access dialog and any browser still running.
stop_portal() {
  local pid
  for pid in "${PORTAL_PIDS[@]}"; do
    end_process "$pid"
  done
  PORTAL_PIDS=()
}

# installed_switch PATH: the package's file at PATH below share/frix/browsers, installed
# by the packaging directory's own install script into a prefix under /tmp.
installed_switch() {
  local prefix=/tmp/frix-portal-prefix
  [ -d "$prefix" ] || cmake -DCMAKE_INSTALL_PREFIX="$prefix" \
    -P "$FRIX_BUILD/packaging/cmake_install.cmake" >install.log || fail "the packaging install script failed"
  [ -f "$prefix/share/frix/browsers/$1" ] || fail "$1 is not installed: $(find "$prefix/share" | head)"
  echo "$prefix/share/frix/browsers/$1"
}

# The package's file dropped into a copy of this machine's /etc/chromium.d, mounted over
# it (the guest's root is read-only).
install_chromium_switch() {
  local dir=$CASE_DIR/chromium.d file
  file=$(installed_switch chromium.d/frix-pipewire-camera) || exit 1
  mkdir -p "$dir"
  cp -a /etc/chromium.d/. "$dir/"
  cp "$file" "$dir/"
  mount --bind "$dir" /etc/chromium.d || fail "cannot mount $dir over /etc/chromium.d"
}

# The package's policies.json at /etc/firefox/policies/, in a copy of /etc mounted over it
# (the guest's root is read-only, and its kernel has no overlay file system).
install_firefox_switch() {
  local etc=/tmp/etc-copy file
  file=$(installed_switch firefox/policies.json) || exit 1
  rm -rf "$etc"
  cp -a /etc "$etc" || fail "cannot copy /etc"
  mkdir -p "$etc/firefox/policies"
  cp "$file" "$etc/firefox/policies/policies.json"
  mount --bind "$etc" /etc || fail "cannot mount a copy of /etc over it"
}

# Before a browser asks: the node is published, the portal sees it as a camera, and the
# node itself is root's and video's, so that the browser cannot have opened it itself.
portal_ready() {
  start_session /run/user/$PW_UID
  seat_active $PW_UID
  start_frix --verbosity=6 --mode static --enable-server=required --server-option=--pipewire
  wait_until 30 node_listed || { cat "$CASE_DIR/frix.log"; fail "the node is not in the seated user's PipeWire"; }
  start_portal
  wait_until 30 camera_present || fail "the portal sees no camera"
  local opened
  opened=$(as_user /usr/bin/python3 -c 'import os, sys
try:
    os.close(os.open(sys.argv[1], os.O_RDWR)); print("opened")
except OSError as e:
    print(e.strerror)' "$FRIX_NODE")
  expect_eq "$opened" "Permission denied" "the session's user opening $FRIX_NODE"
  camera_page "$PW_HOME/camera.html"
}

# portal_streams GRAPH: the streams of clients the portal connected, in the pw-dump output
# GRAPH, one "SOURCE -> APPLICATION (STATE)" a line for each link into them.
portal_streams() {
  pw_dump_python "$1" <<'PY'
by_id = {o['id']: o for o in objects}
def props(o):
    return ((o or {}).get('info') or {}).get('props') or {}
for o in objects:
    if not o.get('type', '').endswith(':Link'):
        continue
    info = o['info']
    sink = by_id.get(info.get('input-node-id'))
    client = by_id.get(int(props(sink).get('client.id', -1)))
    if props(client).get('pipewire.access') == 'portal':
        print(f"{props(by_id.get(info.get('output-node-id'))).get('node.name')} -> "
              f"{props(client).get('application.name')} ({info.get('state')})")
PY
}

# browser_shows_the_camera LOG COMMAND...: runs the browser as the session's user until
# the page says what it saw, and checks that: the bars, frix's node feeding the connection
# the portal opened for the browser, one Access dialog in all for an application outside
# any sandbox, and the answer stored for the desktop's settings.
browser_shows_the_camera() {
  local log=$1 graph=${1%.txt}-graph.json
  shift
  # Its own process id, not a subshell's: the next browser on this profile starts only
  # once this one has ended.
  as_user_in_background browser timeout -k 5 250 "$@" >"$log" 2>&1
  local browser=${PORTAL_PIDS[-1]}
  wait_until 250 grep -qE 'FRIX(PIXELS|ERROR)' "$log" || true
  # The graph as the browser's connection left it: its permissions, its streams.
  as_user timeout 30 pw-dump >"$graph" 2>&1 || true
  end_process "$browser"
  wait_until 10 bash -c "! kill -0 $browser 2>/dev/null" || fail "the browser did not end"
  cat access.txt
  expect_bars "$log"
  portal_streams "$graph" >"${graph%.json}.txt"
  expect_file_match "${graph%.json}.txt" '^frix\.video0 -> .* \(active\)$'
  expect_eq "$(grep -c '^AccessDialog ' access.txt)" 1 "Access dialogs"
  expect_file_match access.txt "^AccessDialog app_id='' "
  as_user timeout 20 gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
    --object-path /org/freedesktop/impl/portal/PermissionStore \
    --method org.freedesktop.impl.portal.PermissionStore.Lookup devices camera >permission.txt
  expect_file_match permission.txt "'': \['yes'\]"
}

frix_ends_well() {
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status of frix"
}

# Chromium shows the camera, the seat moves to another user and back, and Chromium started
# again (a new process, the same profile) shows it again on the stored answer.
# Two browser starts of about 90 s each under emulation, beside the session's set-up.
# shellcheck disable=SC2034  # the runner's to read
TIME_LIMIT_portal_chromium_takes_the_camera_from_pipewire=480
case_portal_chromium_takes_the_camera_from_pipewire() {
  command -v chromium >/dev/null || fail "chromium is not installed"
  trap 'stop_portal; stop_session; cleanup_frix; rm -f /run/systemd/seats/seat0
    umount /etc/chromium.d 2>/dev/null' EXIT
  portal_ready
  install_chromium_switch
  local chromium=(chromium "${CHROMIUM_HEADLESS[@]}" --user-data-dir="$PW_HOME/profile"
    "file://$PW_HOME/camera.html")
  browser_shows_the_camera chromium.txt "${chromium[@]}"

  local start
  start=$(date +%s%N)
  seat_active 1001
  wait_until 30 node_gone || fail "the node stayed in nobody's PipeWire after the seat moved"
  echo "the node left nobody's graph $((($(date +%s%N) - start) / 1000000)) ms after the seat moved"
  start=$(date +%s%N)
  seat_active $PW_UID
  wait_until 30 node_listed || fail "the node did not come back to nobody's PipeWire"
  echo "the node was back $((($(date +%s%N) - start) / 1000000)) ms after the seat came back"
  expect_match "$(grep 'following their PipeWire' "$CASE_DIR/frix.log" | tail -n1)" "is nobody \(uid $PW_UID\)" \
    "frix's last move"
  # The first browser's connection is gone: the one found next is the new browser's.
  portal_streams "$CASE_DIR/dump.json" >left.txt || fail "cannot read the graph"
  [ ! -s left.txt ] || fail "a portal stream outlived the first browser: $(cat left.txt)"

  browser_shows_the_camera chromium-again.txt "${chromium[@]}"
  frix_ends_well
}

case_portal_firefox_takes_the_camera_from_pipewire() {
  command -v firefox-esr >/dev/null || fail "firefox-esr is not installed"
  trap 'stop_portal; stop_session; cleanup_frix; rm -f /run/systemd/seats/seat0
    umount -l /etc 2>/dev/null' EXIT
  portal_ready
  install_firefox_switch
  # Firefox's own prompt answered yes, and the page's console on its output.
  local profile=$PW_HOME/firefox
  mkdir -p "$profile"
  printf 'user_pref("%s", %s);\n' media.navigator.permission.disabled true \
    devtools.console.stdout.content true browser.shell.checkDefaultBrowser false \
    datareporting.policy.dataSubmissionEnabled false >"$profile/user.js"
  chown -R $PW_UID:$PW_UID "$profile"
  browser_shows_the_camera firefox.txt firefox-esr --headless --no-remote --profile "$profile" \
    "file://$PW_HOME/camera.html"
  frix_ends_well
}
