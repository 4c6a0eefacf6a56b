#!/usr/bin/env bash
# The main job: builds everything, then shows what the addon offers on this machine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh >/dev/null
exec node scripts/demo.js "$@"
