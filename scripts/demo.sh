#!/usr/bin/env bash
# The main job: builds everything, then runs the demo (scripts/demo.js): cameras, preview,
# snapshot, recording, focus-stack fusion and the microscopes, on a synthetic camera when no
# camera is attached.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh >/dev/null
exec node scripts/demo.js "$@"
