#!/usr/bin/env bash
# Builds the Debian package from the build tree, unpacks it into a throw-away root and runs
# what people run from it, with nothing of the build tree: the command line, the main job's
# host, and the set-up for one user (install, then uninstall leaving only the user's data).
# lintian checks the package when it is installed.
#   package_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
src="$1"
build="$2"
version="$3"
work="$(mktemp -d -t vexmor-package.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack --config CPackConfig.cmake) >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb="$build/package/vexmor_${version}_amd64.deb"
[[ -f "$deb" ]] || fail "no $deb"
depends="$(dpkg-deb -f "$deb" Depends)"
[[ "$depends" == *libc6* && "$depends" == *libgmime-3.0-0* ]] || fail "Depends: $depends"

root="$work/root"
dpkg-deb -x "$deb" "$root"
pkg="$root/usr/lib/vexmor"
for file in usr/bin/vexmor usr/bin/vexmor-sigd usr/bin/Vexmor_PlugIn usr/bin/Vexmor_AddinHost \
            usr/bin/Vexmor_Recovery usr/share/man/man1/vexmor.1.gz \
            usr/share/man/man8/vexmor-sigd.8.gz usr/share/man/man1/Vexmor_PlugIn.1.gz \
            usr/share/man/man1/Vexmor_AddinHost.1.gz usr/share/bash-completion/completions/vexmor \
            usr/share/doc/vexmor/copyright usr/share/systemd/user/vexmor-addin-host.service \
            usr/share/systemd/user/vexmor-plugin.service usr/lib/systemd/system/vexmor-sigd.service \
            usr/include/vexmor/exports.h; do
  [[ -e "$root/$file" ]] || fail "$file is not in the package"
done
grep -q 'CC0' "$root/usr/share/doc/vexmor/copyright" || fail "no licence notice of the corpus"
unit="$root/usr/lib/systemd/system/vexmor-sigd.service"
for line in "ExecStart=/usr/lib/vexmor/vexmor-sigd --listen 127.0.0.1:8631 " DynamicUser=yes \
            StateDirectory=vexmor-sigd ProtectSystem=strict NoNewPrivileges=yes PrivateTmp=yes; do
  grep -q "^$line" "$unit" || fail "the server's unit lacks $line"
done
for file in "$pkg"/*; do
  if readelf -d "$file" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -q "$build"; then
    fail "$file keeps a run path into the build tree"
  fi
done

unset LD_LIBRARY_PATH VEXMOR_HOOK_LIBRARY
export VEXMOR_THROTTLE=off
[[ "$("$root/usr/bin/vexmor" --version)" == "vexmor $version" ]] || fail "vexmor --version"
sig_installed="$(printf 'Cheap pills at bargain prices' | "$root/usr/bin/vexmor" signature)"
sig_built="$(printf 'Cheap pills at bargain prices' | "$build/bin/vexmor" signature)"
[[ -n "$sig_installed" && "$sig_installed" == "$sig_built" ]] \
  || fail "vexmor signature: '$sig_installed' from the package, '$sig_built' from the build"

out="$(VEXMOR_PROGRAM_DIR="$pkg" "$src/scripts/run-main-e2e" --no-build 2>&1)" \
  || { echo "$out" >&2; fail "the main job from the package"; }
spam=$(grep -c -E '^spam-[^ ]+ +Spam$' <<<"$out" || true)
[[ "$spam" -ge 3 ]] || { echo "$out" >&2; fail "the packaged host moved $spam messages to Spam"; }

# The set-up for one user, in a home of its own. It stops running programs of ours, so it runs
# in a process namespace of its own where only it runs; no user manager is reachable there
# either (systemctl fails), so the units are enabled by their links.
home="$work/home"
mkdir -p "$home/.local/share/vexmor" "$work/nobin"
printf '#!/bin/sh\nexit 1\n' >"$work/nobin/systemctl"
chmod +x "$work/nobin/systemctl"
echo '<lists/>' >"$home/.local/share/vexmor/Vexmor_MailIds.xml"
isolate=(unshare --pid --fork --mount-proc)
[[ "$(id -u)" == 0 ]] || isolate=(unshare --user --map-root-user --pid --fork --mount-proc)
if ! "${isolate[@]}" true 2>/dev/null; then
  echo "SKIP: vexmor install/uninstall: no process namespace here"
  echo "package works: $deb"
  exit 0
fi
in_home() {
  env -i PATH="$work/nobin:/usr/bin:/bin" HOME="$home" XDG_CONFIG_HOME="$home/.config" \
      VEXMOR_THROTTLE=off "${isolate[@]}" "$@"
}
dir="$home/.local/share/vexmor/install/"
in_home "$root/usr/bin/vexmor" install --yes >"$work/install.log" 2>&1 \
  || { cat "$work/install.log" >&2; fail "vexmor install"; }
[[ "$(readlink "$dir/libVexmor_Addin.so")" == "$pkg/libVexmor_Addin.so" ]] \
  || fail "the install directory has no link to the add-in"
grep -qx "Path=\"${dir}libVexmor_Addin.so\"" "$dir/Addins/Vexmor.ECF" || fail "Vexmor.ECF"
grep -qF "\"Installed Path\"=\"$dir\"" "$home/.config/vexmor/user.reg" || fail "no Installed Path"
grep -q "Vexmor.OutLookPlugin" "$home/.config/vexmor/user.reg" || fail "the add-in is not registered"
for unit in vexmor-addin-host.service vexmor-plugin.service; do
  [[ "$(readlink "$home/.config/systemd/user/default.target.wants/$unit")" \
     == "$root/usr/share/systemd/user/$unit" ]] || fail "$unit is not enabled"
  grep -q "^ExecStart=$pkg/.* --install-dir $dir\$" \
    "$home/.config/systemd/user/$unit.d/vexmor-install.conf" || fail "$unit is not pointed at $dir"
done

in_home "$root/usr/bin/vexmor" uninstall --yes >"$work/uninstall.log" 2>&1 \
  || { cat "$work/uninstall.log" >&2; fail "vexmor uninstall"; }
grep -q "Vexmor.OutLookPlugin\|Installed Path\|Outlook Path" "$home/.config/vexmor/user.reg" \
  && fail "registry entries of the installation stay"
left="$(cd "$home" && find . -mindepth 1 \( ! -type d -o -empty \) | sort | tr '\n' ' ')"
for file in $left; do
  case "$file" in
    ./.config/vexmor/*|./.local/share/vexmor/Vexmor_MailIds.xml) ;;
    *) fail "uninstall left $file (all: $left)" ;;
  esac
done
[[ -f "$home/.local/share/vexmor/Vexmor_MailIds.xml" ]] || fail "uninstall took the sender lists"

if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian"; }
  cat "$work/lintian.log"
fi
echo "package works: $deb (left after uninstall: $left)"
