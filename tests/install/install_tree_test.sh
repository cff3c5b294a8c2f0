#!/usr/bin/env bash
# Installs the build into a throw-away prefix and runs what people run from it: the command
# line, the programs' --help, and the main job's host with its hook library, all from the
# installed files (no run path or library of the build tree).
#   install_tree_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src="$1"
build="$2"
prefix="$(mktemp -d -t vexmor-install.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log" >&2; fail "cmake --install"; }
rm -f "$prefix.log"
pkg="$(dirname "$(readlink -f "$prefix/bin/vexmor")")"
[[ "$pkg" == "$prefix"/lib*/vexmor ]] || fail "bin/vexmor points to $pkg"
for file in vexmor vexmor-sigd Vexmor_PlugIn Vexmor_Session Vexmor_AddinHost libVexmor_Validate.so \
            libVexmor_UserInterface.so libVexmor_UserInterfaceDisplay.so libVexmor_Hook.so \
            libVexmor_Addin.so Vexmor_Check.gif; do
  [[ -e "$pkg/$file" ]] || fail "$file is not installed"
done
[[ -f "$prefix/include/vexmor/exports.h" ]] || fail "the export header is not installed"
[[ -f "$prefix/share/doc/vexmor/README.md" ]] || fail "the README is not installed"
grep -q "ExecStart=$pkg/Vexmor_AddinHost" "$prefix/share/systemd/user/vexmor-addin-host.service" \
  || fail "the user unit does not name the installed host"
grep -q "ExecStart=$pkg/vexmor start --foreground" "$prefix/share/systemd/user/vexmor-session.service" \
  || fail "the session's user unit does not name the installed launcher"
# Nothing may reach back into the build tree.
for file in "$pkg"/*; do
  if readelf -d "$file" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -q "$build"; then
    fail "$file keeps a run path into the build tree"
  fi
done

unset LD_LIBRARY_PATH VEXMOR_HOOK_LIBRARY
export VEXMOR_THROTTLE=off
sig_installed="$(printf 'Cheap pills at bargain prices' | "$prefix/bin/vexmor" signature)"
sig_built="$(printf 'Cheap pills at bargain prices' | "$build/bin/vexmor" signature)"
[[ -n "$sig_installed" && "$sig_installed" == "$sig_built" ]] \
  || fail "vexmor signature: '$sig_installed' from the installation, '$sig_built' from the build"
for program in vexmor vexmor-sigd Vexmor_PlugIn; do
  "$prefix/bin/$program" --help >/dev/null || fail "$program --help"
done
"$pkg/Vexmor_Session" --help >/dev/null || fail "Vexmor_Session --help"

out="$(VEXMOR_PROGRAM_DIR="$pkg" "$src/scripts/run-main-e2e" --no-build 2>&1)" \
  || { echo "$out" >&2; fail "the main job from the installation"; }
spam=$(grep -c -E '^spam-[^ ]+ +Spam$' <<<"$out" || true)
[[ "$spam" -ge 3 ]] || { echo "$out" >&2; fail "the installed host moved $spam messages to Spam"; }
echo "installed tree works: $pkg"
