#!/usr/bin/env bash
# The main job from nothing: installs what is missing (make and the compilers
# included), builds, starts the embedded RTS simulator and drives a channel.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
exec make demo </dev/null
