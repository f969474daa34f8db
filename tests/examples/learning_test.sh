#!/usr/bin/env bash
# The trainer of examples/ learns through `norva sim run`: PPO on a vector of 8 served cart-poles,
# seeded, must raise the mean episode return from its untrained value (about 22: a random policy
# keeps the pole up for some 22 steps, and no mean over a few dozen of its episodes comes near
# 100) past 150 within 25 updates over gRPC, and past 100 within 10 over HTTP.
#   usage: learning_test.sh BUILD_DIR
set -euo pipefail
norva=$1/bin/norva
root=$(cd "$(dirname "$0")/../.." && pwd)

serve_and_train() {
  local protocol=$1
  shift
  local port
  port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$norva" sim run "$root/examples/cartpole" --host 127.0.0.1 --port "$port" \
    --protocol "$protocol" >/dev/null 2>&1 &
  local server=$!
  for _ in $(seq 500); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.02
  done
  local status=0
  /usr/bin/python3 "$root/examples/train_cartpole.py" --address "127.0.0.1:$port" \
    --protocol "$protocol" "$@" || status=$?
  kill -INT "$server"
  wait "$server" || true
  return "$status"
}

serve_and_train grpc --updates 25 --expect 150
serve_and_train http --updates 10 --expect 100
