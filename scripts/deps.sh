# Sourced by scripts/test and scripts/run: installs the Debian packages the
# build, the tests and the simulated board need, only those that are missing.
M7391_PACKAGES="build-essential cmake pkg-config git python3 curl iproute2 util-linux procps
  libgtest-dev libgmock-dev libbenchmark-dev libmicrohttpd-dev libasound2-dev
  libpng-dev libturbojpeg0-dev libx264-dev libavcodec-dev libavformat-dev libavutil-dev
  libswscale-dev libssl-dev zlib1g-dev python3-crcmod ffmpeg mediainfo atomicparsley gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  python3-gi python3-gst-1.0 gir1.2-gst-rtsp-server-1.0 libxml2-utils edid-decode mpv u-boot-tools
  rtmpdump chromium tesseract-ocr evemu-tools python3-evdev imagemagick fonts-dejavu-core zip unzip socat python3-serial
  clang libclang-rt-14-dev"
# The headless-browser test drives chromium through playwright-core (npm),
# kept outside the tree; the version runs on Debian 12's Node 18.
M7391_PLAYWRIGHT_DIR=${M7391_PLAYWRIGHT_DIR:-$HOME/.cache/m7391-playwright}
M7391_PLAYWRIGHT_VERSION=1.55.0

m7391_install_deps() {
  missing=""
  for p in $M7391_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "installing:$missing"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}

m7391_install_playwright() {
  [ -d "$M7391_PLAYWRIGHT_DIR/node_modules/playwright-core" ] && return 0
  # A machine may carry its own Node.js with npm inside, which Debian's npm
  # package conflicts with: take Debian's only when there is no npm at all.
  if ! command -v npm >/dev/null; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nodejs npm
  fi
  mkdir -p "$M7391_PLAYWRIGHT_DIR"
  (cd "$M7391_PLAYWRIGHT_DIR" &&
    npm install --no-save --no-audit --no-fund "playwright-core@$M7391_PLAYWRIGHT_VERSION")
}
