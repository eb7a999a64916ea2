# Shell helpers shared by the benchmarks that run gdb against QEMU's stub and
# the server (sourced, not run). The caller sets `work` (a scratch directory)
# and adds every process it starts to `pids`; both go when the script ends.
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_listening() {  # port: wait until something listens, without connecting
  local hex; hex=$(printf '%04X' "$1")
  for _ in $(seq 200); do
    awk '{print $2, $4}' /proc/net/tcp | grep -q ":$hex 0A" && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
best() {  # file: each phase's shortest time
  grep '^BENCH ' "$1" | awk '!($2 in t) || $3 < t[$2] {t[$2] = $3} END {for (p in t) print p, t[p]}' | sort
}
