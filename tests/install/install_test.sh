#!/usr/bin/env bash
# Installs norva the two ways users do, into scratch folders, and runs it from there:
# `cmake --install` into a prefix, and the Debian package unpacked into a root.
# Usage: install_test.sh <build dir>
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

runs_from() {
  local norva=$1
  "$norva" --version | grep -qx "norva [0-9.]*"
  (cd "$scratch" && rm -rf from-install && "$norva" sim new -n from-install -d "installed" -l . >/dev/null)
  "$norva" sim validate "$scratch/from-install" | grep -qx "Validation found no issues."
  # Only the network module speaks gRPC, so this answer shows that it was found and loaded.
  local unreachable
  unreachable=$("$norva" sim validate --address grpc://127.0.0.1:9 2>&1 || true)
  grep -q "Cannot reach a simulator over gRPC" <<<"$unreachable"
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -f "$scratch/prefix/share/man/man1/norva.1"
test -f "$scratch/prefix/share/norva/compute/docker-compose.yml"
for schema in space worker-request worker-answer; do
  test -f "$scratch/prefix/share/norva/schemas/$schema.schema.json"
done
test -f "$scratch/prefix/share/norva/schemas/sim.proto"
test -f "$scratch/prefix/share/norva/python/norva_sim/env.py"
test -f "$scratch/prefix/share/norva/python/pyproject.toml"
runs_from "$scratch/prefix/bin/norva"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/deb" >/dev/null
package=$(ls "$scratch"/deb/norva_*_amd64.deb)
dpkg-deb -f "$package" Depends | grep -q "libgrpc++"
dpkg-deb -x "$package" "$scratch/root"
test -f "$scratch/root/usr/share/man/man1/norva.1"
test -f "$scratch/root/usr/share/norva/schemas/worker-request.schema.json"
runs_from "$scratch/root/usr/bin/norva"
# Without its network module, norva still starts, and a command that needs the network says
# what is missing instead of failing some other way.
mkdir -p "$scratch/partial/bin"
cp "$scratch/prefix/bin/norva" "$scratch/partial/bin/norva"
"$scratch/partial/bin/norva" --version | grep -qx "norva [0-9.]*"
status=0
partial=$("$scratch/partial/bin/norva" sim validate --address grpc://127.0.0.1:9 2>&1) || status=$?
test "$status" -eq 1
grep -q "norva's network support cannot be loaded: .*norva-network.so" <<<"$partial"

# With a module of another build, it says so rather than calling into it.
mkdir -p "$scratch/partial/lib/norva"
cp "$build/lib/norva/foreign-network.so" "$scratch/partial/lib/norva/norva-network.so"
status=0
foreign=$("$scratch/partial/bin/norva" sim validate --address grpc://127.0.0.1:9 2>&1) || status=$?
test "$status" -eq 1
grep -q "norva's network support at .*norva-network.so is from another version. Reinstall norva." \
  <<<"$foreign"

echo "installed from the prefix and from $(basename "$package")"
