#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a device at the
# default root (or at $SENTREL_ROOT) and shows the firewall at work on a real
# program: curl, made an app of the device, against a small server on
# loopback. Without a decision SpringBoard prompts on the device's screen and
# the demo answers the prompt with a tap on "Allow always"; then the rule is
# changed to block from the command line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh plain

sentrel=build/bin/sentrel
root_args=()
[ -n "${SENTREL_ROOT:-}" ] && root_args=(--root "$SENTREL_ROOT")
sn() { "$sentrel" "${root_args[@]}" "$@"; }

# A device left running by an earlier build is restarted with this build's programs.
if sn device status >/dev/null 2>&1; then
  sn device stop
fi
sn device start

app=com.example.curl
if ! sn app list | grep -q "$app"; then
  sn app install --id "$app" --name curl "$(command -v curl)"
fi

server_out=$(mktemp)
build/bin/sentrel-hello-server >"$server_out" &
server=$!
trap 'kill $server 2>/dev/null || true; rm -f "$server_out"' EXIT
for _ in $(seq 100); do [ -s "$server_out" ] && break; sleep 0.05; done
url="http://127.0.0.1:$(head -n1 "$server_out")/"

fetch() {
  echo "\$ sentrel open $app -sS $url"
  if sn open "$app" -sS --max-time 10 "$url"; then
    echo "-> curl reached the server"
  else
    echo "-> curl could not connect (exit $?)"
  fi
}

echo
echo "== 1. No decision yet for 127.0.0.1: the connection fails at once and SpringBoard prompts"
sn rules remove 127.0.0.1 --app "$app" >/dev/null 2>&1 || true
fetch
echo "   (watch it: open $(sn screen) in a browser)"

echo
echo "== 2. Answer the prompt on the device's screen, as a finger would"
sn screen --tap "Allow always" --timeout 30
fetch

echo
echo "== 3. Block it from the command line"
sn rules block 127.0.0.1 --app "$app"
fetch

echo
echo "== The rules of $app"
sn rules list --app "$app"

echo
log=$(sn device status | sed -n 's/^Device at \(.*\): running.*/\1/p')/var/log/system.log
echo "== What the firewall logged (from $log)"
grep -E "curl\[[0-9]+\] (Should block|sentrel initializing)|showSNTAlert called|Allowing Host|Setting app host rule|Received SNT_SB" "$log" | tail -n 12 || true
