#!/usr/bin/env bash
# run.sh - builds the programs and runs the main job in ./run: the MPExtended bridge with a
# live view of its publication block. Settings come from run/plugins/MP.cfg (made on first run).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target Vistrel_MPExtended vistrel_peek

mkdir -p run/plugins
if [ ! -f run/plugins/MP.cfg ]; then
  cat > run/plugins/MP.cfg <<'CFG'
// Vistrel bridges settings: one key=value a line, "//" starts a comment.
Debug=2
MPExtended_IPAddress=127.0.0.1
MPExtended_Port=4322
MPExtended_Wait=10
CFG
fi

cd run
cp -f "$root/build/release/mpextended/Vistrel_MPExtended" .
./Vistrel_MPExtended > plugins/Vistrel_MPExtended.console 2>&1 &
bridge=$!
trap 'kill $bridge 2>/dev/null || true' EXIT INT TERM
echo "Vistrel_MPExtended running (pid $bridge); its log is run/plugins/Vistrel_MPExtended.log"
"$root/build/release/tools/vistrel_peek" --watch Vistrel_MPExtended
