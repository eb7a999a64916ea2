# Shell helpers shared by the benchmarks that run gdb against QEMU's stub and
# the server (sourced, not run). The caller sets `work` (a scratch directory)
# and `orxdbg`, and adds every process it starts to `pids`; both go when the
# script ends.
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
start_qemu() {  # machine elf [qemu options...]: QEMU's own stub, halted; sets qemu_pid, qemu_port
  local machine=$1 image=$2
  shift 2
  qemu_port=$(free_port)
  qemu-system-arm -M "$machine" -S -nographic -monitor none "$@" \
    -gdb "tcp:127.0.0.1:$qemu_port" -kernel "$image" >>"$work/qemu.log" 2>&1 &
  qemu_pid=$!
  pids+=($qemu_pid)
  wait_listening "$qemu_port"
}
start_server() {  # orxdbg gdbserver options...: sets server_pid, server_port
  : >"$work/server.log"
  "$orxdbg" gdbserver --port 0 "$@" >"$work/server.log" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  for _ in $(seq 200); do grep -q 'listening on' "$work/server.log" && break; sleep 0.05; done
  server_port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$work/server.log" | cut -d: -f2)
  if [ -z "$server_port" ]; then cat "$work/server.log" >&2; return 1; fi
}
best() {  # file: each phase's shortest time
  grep '^BENCH ' "$1" | awk '!($2 in t) || $3 < t[$2] {t[$2] = $3} END {for (p in t) print p, t[p]}' | sort
}
