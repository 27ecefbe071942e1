#!/usr/bin/env bash
# Makes the README's pictures of the device's screen: a device in a fresh
# folder with a few real programs installed as apps, and a real prompt:
# curl, made an app, reaches a server on loopback without a decision, and
# SpringBoard asks above the home screen. Then, after "Allow always", the
# Settings app at curl's page, reached with taps from the home screen.
# Saved by headless chromium (`sentrel screen --png`) once drawn and at rest.
#   scripts/screenshot.sh [PROMPT.png [SETTINGS.png]]
#   (default: docs/screen-prompt.png and docs/screen-settings.png)
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-docs/screen-prompt.png}"
settings_out="${2:-docs/screen-settings.png}"
scripts/install-deps.sh
scripts/build.sh plain

root=$(mktemp -d)
sn() { build/bin/sentrel --root "$root" "$@"; }
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  sn device stop >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT

sn app install --id com.example.curl --name curl "$(command -v curl)" >/dev/null
sn app install --id com.example.wget --name wget "$(command -v wget || command -v curl)" >/dev/null
sn app install --id com.example.git --name git "$(command -v git || command -v curl)" >/dev/null
sn app install --id com.example.python --name Python "$(command -v python3 || command -v curl)" >/dev/null
sn device start >/dev/null

build/bin/sentrel-hello-server >"$root/server.out" &
server=$!
for _ in $(seq 100); do [ -s "$root/server.out" ] && break; sleep 0.05; done
url="http://127.0.0.1:$(head -n1 "$root/server.out")/"

# No decision yet for 127.0.0.1: the connection fails at once and SpringBoard asks.
sn open com.example.curl -sS --max-time 5 "$url" >/dev/null 2>&1 || true
sn screen --wait "Allow always" --png "$root/screen.png" --timeout 30 >/dev/null
mkdir -p "$(dirname "$out")"
cp "$root/screen.png" "$out"
echo "saved $out"

# Answer it, then open curl's page in the Settings app as a finger would.
sn screen --tap "Allow always" --timeout 30 >/dev/null
sn rules block ads.example.com --app com.example.curl >/dev/null
sn screen --tap "Settings" --timeout 30 >/dev/null
sn screen --tap "Sentrel" --timeout 30 >/dev/null
sn screen --tap "OK" --timeout 30 >/dev/null
# A tap that lands while the notice is still leaving is the notice's: tap
# again until the next page shows.
tap_until() {
  for _ in 1 2 3 4 5; do
    sn screen --tap "$1" --timeout 30 >/dev/null
    sn screen --wait "$2" --timeout 3 >/dev/null 2>&1 && return 0
  done
  echo "screenshot: \"$2\" did not show after tapping \"$1\"" >&2
  return 1
}
tap_until "User Apps (1)" "Show all apps below"
# The row reads as `rules list` names the app: "curl (1/3 allowed)".
row=$(sn rules list --app com.example.curl | head -n1 | sed -e 's/^[^:]*: //' -e 's/ \[[A-Za-z]*\]$//')
tap_until "$row" "curl Firewall"
sn screen --wait "curl Firewall" --png "$root/settings.png" --timeout 30 >/dev/null
cp "$root/settings.png" "$settings_out"
echo "saved $settings_out"
