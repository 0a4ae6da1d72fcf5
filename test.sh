#!/usr/bin/env bash
# The whole suite from nothing: installs what is missing (make and the
# compilers included), then runs the plain, sanitized, fuzzing and
# ThreadSanitizer suites (make test).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
exec make test </dev/null
