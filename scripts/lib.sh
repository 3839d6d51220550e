# Shared set-up for the scripts: packages, build, display and sound device.
# Sourced, not run.

VRAX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VRAX_PACKAGES=(cmake g++ make pkg-config python3-glad libglfw3-dev libopenal-dev libopenal1
  libsndfile1-dev libx11-dev libgtest-dev libbenchmark-dev libfftw3-dev xvfb xauth ffmpeg
  clang libclang-rt-14-dev libegl-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libswresample-dev libcli11-dev nlohmann-json3-dev pulseaudio pulseaudio-utils help2man man-db dpkg-dev lintian
  libharfbuzz-dev libfreetype-dev libfontconfig-dev fonts-dejavu-core tesseract-ocr libebur128-dev
  fonts-noto-cjk tesseract-ocr-jpn iproute2 liblo-dev liblo-tools parallel rsync openssh-server openssh-client
  libaubio-dev libass-dev stress-ng libcpp-httplib-dev chromium curl)

vrax_missing_packages() {
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  echo "${missing[@]}"
}

# Installs what is missing when root; otherwise says the one line to run.
vrax_ensure_packages() {
  local missing
  missing=$(vrax_missing_packages "${VRAX_PACKAGES[@]}")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "VRAX needs these packages first:" >&2
    echo "  sudo apt-get install -y $missing" >&2
    exit 1
  fi
  echo "Installing: $missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq $missing >/dev/null
}

# The page's browser suite: Node.js (Debian's, unless one is there) and
# puppeteer-core from npm, as the lock file pins it.
vrax_page_tools() {
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    [ "$(id -u)" -eq 0 ] || { echo "The page's tests need: sudo apt-get install -y nodejs npm" >&2; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm >/dev/null
  fi
  local dir="$VRAX_ROOT/tests/browser"
  if [ ! -d "$dir/node_modules/puppeteer-core" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  fi
}

# vrax_build DIR [cmake options...]
vrax_build() {
  local dir="$1"
  shift
  cmake -S "$VRAX_ROOT" -B "$VRAX_ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$VRAX_ROOT/$dir" -j"$(nproc)" -- --no-print-directory
}

# Only the programs (vrax, vrax-studio, the example-song writer): what
# scripts/run needs before the first picture; the suites build in scripts/test.
vrax_build_programs() {
  local dir="$1"
  shift
  cmake -S "$VRAX_ROOT" -B "$VRAX_ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$VRAX_ROOT/$dir" -j"$(nproc)" --target vrax vrax-studio makeExample -- --no-print-directory
}

# OpenAL's default device needs a sound card; without one use the silent
# null device, whose playback position still advances.
vrax_sound_env() {
  if [ -z "${ALSOFT_DRIVERS:-}" ] && [ -z "${ALSOFT_CONF:-}" ] && ! ls /dev/snd/pcm* >/dev/null 2>&1; then
    export ALSOFT_DRIVERS=null
  fi
}

# Runs a command on the current display, or on a private Xvfb when there is none.
vrax_with_display() {
  if [ -n "${DISPLAY:-}" ]; then
    "$@"
  else
    xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset" "$@"
  fi
}
