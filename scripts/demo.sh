#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a device at the
# default root (or at $SENTREL_ROOT) and shows its status.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh plain

sentrel=build/bin/sentrel
root_args=()
[ -n "${SENTREL_ROOT:-}" ] && root_args=(--root "$SENTREL_ROOT")

# A device left running by an earlier build is restarted with this build's programs.
if "$sentrel" "${root_args[@]}" device status >/dev/null 2>&1; then
  "$sentrel" "${root_args[@]}" device stop
fi
"$sentrel" "${root_args[@]}" device start
