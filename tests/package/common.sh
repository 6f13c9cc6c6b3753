# common.sh - what every package check shares: its failure line and a bounded wait for a condition.
fail() { echo "FAIL: $*" >&2; exit 1; }
# Polls a condition (a command) every 0.2 s for at most the given seconds; its last answer counts.
wait_for() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 5))); do
    if "$@"; then return 0; fi
    sleep 0.2
  done
  "$@"
}
