# shellcheck shell=bash
# A browser page that shows the camera, and the check of what it saw.

# Chromium's switches for the headless guest: under emulation a browser takes minutes to
# start, so as few processes and services as it can run with (one process). Its own
# permission prompt is answered yes; nothing here chooses where cameras come from.
# shellcheck disable=SC2034,SC2054  # the cases' to use; the commas are Chromium's
CHROMIUM_HEADLESS=(--headless=new --no-sandbox --single-process --use-fake-ui-for-media-stream
  --disable-gpu --in-process-gpu --disable-extensions --disable-default-apps --mute-audio
  --disable-features=Translate,MediaRouter,OptimizationHints,AutofillServerCommunication
  --no-first-run --disable-background-networking --disable-component-update --disable-sync
  --enable-logging=stderr --v=0)

# camera_page FILE: a page that draws the camera into a canvas and prints the centre of
# each of the eight bars ("FRIXPIXELS WxH R G B ..."), or "FRIXERROR" and why not.
camera_page() {
  cat >"$1" <<'EOT'
<!doctype html>
<video id="v" autoplay muted playsinline></video>
<canvas id="c" width="640" height="480"></canvas>
<script>
navigator.mediaDevices.getUserMedia({video: {width: 640, height: 480}}).then(stream => {
  const video = document.getElementById("v");
  video.srcObject = stream;
  video.onplaying = () => setTimeout(() => {
    const canvas = document.getElementById("c").getContext("2d");
    canvas.drawImage(video, 0, 0, 640, 480);
    const values = [];
    for (let bar = 0; bar < 8; ++bar) {
      const p = canvas.getImageData(40 + 80 * bar, 300, 1, 1).data;
      values.push(p[0], p[1], p[2]);
    }
    console.log("FRIXPIXELS " + video.videoWidth + "x" + video.videoHeight + " " + values.join(" "));
  }, 1000);
}).catch(error => console.log("FRIXERROR " + error.name + ": " + error.message));
</script>
EOT
  chmod 644 "$1"
}

# expect_bars LOG: the page's line in the browser's LOG shows the pattern's bars at 640x480.
expect_bars() {
  grep -E 'FRIX(PIXELS|ERROR)' "$1" || fail "the page printed nothing ($1)"
  local line
  line=$(grep -oE 'FRIXPIXELS [0-9x]+( [0-9]+){24}' "$1" | head -n1)
  [ -n "$line" ] || fail "no frame reached the page"
  local got
  read -r -a got <<<"${line#FRIXPIXELS }"
  expect_eq "${got[0]}" 640x480 "video size"
  # The bars: white, yellow, cyan, green, magenta, red, blue, black; YUV to RGB in the
  # browser moves each channel by a little.
  local want=(255 255 255 255 255 0 0 255 255 0 255 0 255 0 255 255 0 0 0 0 255 0 0 0) i diff
  for i in "${!want[@]}"; do
    diff=$((got[i + 1] - want[i]))
    ((diff < 0)) && diff=$((-diff))
    ((diff <= 40)) || fail "bar $((i / 3)) channel $((i % 3)): ${got[i + 1]}, expected about ${want[i]} ($line)"
  done
}
