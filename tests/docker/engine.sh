#!/usr/bin/env bash
# A Docker engine for the tests labelled docker, with the test images they use, all made here
# without any registry.
#   engine.sh start <build dir>   prints the DOCKER_HOST to use, or nothing (with the reason on
#                                 stderr) when no engine can run on this machine
#   engine.sh stop <build dir>
set -uo pipefail
action=$1
build=$(cd "$2" && pwd)
repo=$(cd "$(dirname "$0")/../.." && pwd)
state=$build/docker-engine
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo -n)

skip() {
  echo "docker tests skipped: $*" >&2
  exit 0
}

install_packages() {
  local missing=()
  for package in docker.io docker-compose redis-server debootstrap; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  "${as_root[@]}" apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null
}

start_engine() {
  mkdir -p "$state"
  local run
  run=$(mktemp -d /tmp/norva-docker-XXXXXX)
  echo "$run" >"$state/run-dir"
  "${as_root[@]}" dockerd --data-root "$state/data" --exec-root "$run/exec" \
    --pidfile "$run/dockerd.pid" --host "unix://$run/docker.sock" \
    >"$state/dockerd.log" 2>&1 &
  export DOCKER_HOST=unix://$run/docker.sock
  for _ in $(seq 60); do
    docker info >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}

# A root file system holding the programs with every shared library they load.
add_programs() {
  local root=$1
  shift
  for program in "$@"; do
    mkdir -p "$root$(dirname "$program")"
    cp -L "$program" "$root$program"
    for library in $(ldd "$program" | grep -o '/[^ ]*'); do
      mkdir -p "$root$(dirname "$library")"
      cp -L "$library" "$root$library"
    done
  done
}

import_image() {
  local root=$1 image=$2
  shift 2
  tar -C "$root" -c . | docker import "$@" - "$image" >/dev/null
}

make_images() {
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  add_programs "$work/redis" /usr/bin/redis-server /usr/bin/redis-cli
  mkdir -p "$work/redis/data" "$work/redis/tmp"
  import_image "$work/redis" norva-test/redis:latest

  add_programs "$work/stand-in" "$build/bin/stack_stand_in"
  cp "$work/stand-in$build/bin/stack_stand_in" "$work/stand-in/stack_stand_in"
  import_image "$work/stand-in" norva-test/stand-in:latest

  add_programs "$work/sim" "$build/bin/norva" "$build/lib/norva/norva-network.so" \
    "$build/bin/test_sim"
  mkdir -p "$work/sim/usr/bin" "$work/sim/usr/lib/norva" "$work/sim/sim" "$work/sim/tmp"
  cp "$build/bin/norva" "$work/sim/usr/bin/norva"
  cp "$build/lib/norva/norva-network.so" "$work/sim/usr/lib/norva/norva-network.so"
  cp "$build/bin/test_sim" "$work/sim/sim/test_sim"
  cat >"$work/sim/sim/norva-sim.toml" <<'TOML'
name = "docker-test-sim"
description = "The test simulator in a container"
type = "sim-docker"
version = "1.0.0"
command = ["/sim/test_sim", "good"]
TOML
  import_image "$work/sim" norva/docker-test-sim:latest \
    --change 'CMD ["/usr/bin/norva", "sim", "run", "/sim", "--host", "0.0.0.0", "--port", "1337"]' \
    --change 'EXPOSE 1337/tcp'
}

# The Debian the machine itself installs from: the first archive in its apt sources.
debian_mirror() {
  local mirror
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
    2>/dev/null | grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]*/debian/?( |$)' | head -1)
  echo "${mirror:-http://deb.debian.org/debian}" | tr -d ' '
}

# debian:12 and debian:12-slim, the bases of the sim runtime, made by debootstrap. They stay in
# the engine's data root in the build tree, so this runs once per build tree.
make_debian_images() {
  docker image inspect debian:12 debian:12-slim >/dev/null 2>&1 && return 0
  local root
  root=$(mktemp -d)
  trap 'rm -rf "$root"' RETURN
  "${as_root[@]}" debootstrap --variant=minbase bookworm "$root" "$(debian_mirror)" \
    >"$state/debootstrap.log" 2>&1 || return 1
  import_image "$root" debian:12 && docker tag debian:12 debian:12-slim
}

# norva/sim-runtime from this build's package, rebuilt only when what goes into it changed.
make_runtime_image() {
  local key
  key=$( (cat "$build/bin/norva" "$build/lib/norva/norva-network.so" &&
    find "$repo/resources" "$repo/docker/sim-runtime" -type f | sort | xargs cat) |
    sha256sum | cut -c1-16)
  [ "$(docker image inspect -f '{{index .Config.Labels "ai.norva.build"}}' norva/sim-runtime \
    2>/dev/null)" = "$key" ] && return 0
  "$repo/scripts/sim-runtime-image" "$build" --label "ai.norva.build=$key" \
    >"$state/sim-runtime.log" 2>&1
}

# `docker compose` for the tests only: a command-line plugin that hands it to docker-compose v1.
install_compose_shim() {
  mkdir -p "$state/config/cli-plugins"
  cat >"$state/config/cli-plugins/docker-compose" <<'SH'
#!/bin/sh
if [ "$1" = docker-cli-plugin-metadata ]; then
  echo '{"SchemaVersion":"0.1.0","Vendor":"norva tests","Version":"1","ShortDescription":"Docker Compose v1 as docker compose"}'
  exit 0
fi
shift
exec docker-compose "$@"
SH
  chmod +x "$state/config/cli-plugins/docker-compose"
}

case $action in
  start)
    install_packages || skip "docker.io, docker-compose, redis-server or debootstrap cannot be installed"
    command -v dockerd >/dev/null || skip "dockerd is not installed"
    start_engine || skip "dockerd does not start here (see $state/dockerd.log)"
    make_images || skip "the test images cannot be made"
    install_compose_shim
    # Without these only the tests of Docker-supported sims skip, each saying why.
    if ! make_debian_images; then
      echo "sim runtime tests skipped: debootstrap cannot run here (see $state/debootstrap.log)" >&2
    elif ! make_runtime_image; then
      echo "sim runtime tests skipped: norva/sim-runtime cannot be built (see $state/sim-runtime.log)" >&2
    fi
    echo "$DOCKER_HOST"
    ;;
  stop)
    [ -f "$state/run-dir" ] || exit 0
    run=$(cat "$state/run-dir")
    export DOCKER_HOST=unix://$run/docker.sock
    ids=$(docker ps -aq 2>/dev/null)
    [ -n "$ids" ] && docker rm -f $ids >/dev/null 2>&1
    [ -f "$run/dockerd.pid" ] && "${as_root[@]}" kill "$(cat "$run/dockerd.pid")" 2>/dev/null
    for _ in $(seq 40); do
      [ -e "$run/dockerd.pid" ] || break
      sleep 0.25
    done
    rm -rf "$run" "$state/run-dir"
    ;;
esac
