#!/usr/bin/env bash
# Makes the README's picture of the device's screen: a device in a fresh
# folder with a few real programs installed as apps, the test prompt open
# above the home screen, saved by headless chromium (`sentrel screen --png`).
#   scripts/screenshot.sh [OUTPUT.png]   (default: docs/screen-home.png)
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-docs/screen-home.png}"
scripts/install-deps.sh
scripts/build.sh plain

root=$(mktemp -d)
sn() { build/bin/sentrel --root "$root" "$@"; }
trap 'sn device stop >/dev/null 2>&1 || true; rm -rf "$root"' EXIT

sn app install --id com.example.curl --name curl "$(command -v curl)" >/dev/null
sn app install --id com.example.wget --name wget "$(command -v wget || command -v curl)" >/dev/null
sn app install --id com.example.git --name git "$(command -v git || command -v curl)" >/dev/null
sn app install --id com.example.python --name Python "$(command -v python3 || command -v curl)" >/dev/null
sn device start >/dev/null

# SpringBoard draws its home screen once it has finished launching.
for _ in $(seq 200); do
  sn log 2>/dev/null | grep -q "SpringBoard finished launching" && break
  sleep 0.05
done
# The page shows what backboardd has when it loads: take the picture again
# until the home screen is on it (a blank screen makes a very small PNG).
tmp="$root/screen.png"
for _ in $(seq 20); do
  sn screen --png "$tmp" >/dev/null
  [ "$(stat -c %s "$tmp")" -gt 8000 ] && break
  sleep 0.5
done
# The test prompt opens above the home screen: wait until the picture changes.
home_size=$(stat -c %s "$tmp")
sn notify _snt_springboard_alert_removed >/dev/null
for _ in $(seq 20); do
  sleep 0.5
  sn screen --png "$tmp" >/dev/null
  [ "$(stat -c %s "$tmp")" -ne "$home_size" ] && break
done
mkdir -p "$(dirname "$out")"
cp "$tmp" "$out"
echo "saved $out"
