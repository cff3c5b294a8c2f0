#!/usr/bin/env bash
# Vexmor_Recovery.exe under Wine (run by cmake/wine-test.sh, which makes the prefix): entries of
# the account client's DisabledItems key that name the product are deleted, two of them in a
# row included, and another add-in's entry stays; a second run finds nothing to do. Given the
# Linux build's Vexmor_Recovery as well, the same entries in its registry file must come out
# the same.
#   recovery_wine_test.sh Vexmor_Recovery.exe [LINUX_Vexmor_Recovery]
set -euo pipefail
recovery="$1"
linux_recovery="${2:-}"
key='HKCU\Software\Microsoft\Office\11.0\Outlook\Resiliency\DisabledItems'

# A record as the client writes it: a small header, then the add-in's path in UTF-16.
record() {
  local text="$1" hex="01000000"
  local i
  for ((i = 0; i < ${#text}; i++)); do
    hex+="$(printf '%02X' "'${text:i:1}")00"
  done
  echo "${hex}0000"
}

declare -A entries=(
  [1A2B]='C:\Program Files\Vexmor\Vexmor_Addin.dll'
  [1A2C]='C:\Program Files\VEXMOR\Vexmor_Addin.dll'
  [3C4D]='C:\Program Files\Other\other.dll'
)
for name in 1A2B 1A2C 3C4D; do
  wine reg add "$key" /v "$name" /t REG_BINARY /d "$(record "${entries[$name]}")" /f
done

first="$(wine "$recovery" --yes)"
grep -q "Vexmor enabled successfully." <<<"$first" || { echo "first run said: $first" >&2; exit 1; }

left="$(wine reg query "$key")"
if grep -q -E '1A2B|1A2C' <<<"$left"; then
  echo "the product's entries are still disabled:" >&2
  echo "$left" >&2
  exit 1
fi
grep -q '3C4D' <<<"$left" || { echo "another add-in's entry was deleted:" >&2; echo "$left" >&2; exit 1; }

second="$(wine "$recovery" --yes)"
grep -q "couldn't find any errors" <<<"$second" || { echo "second run said: $second" >&2; exit 1; }

if [ -n "$linux_recovery" ]; then
  # The same three entries in the Linux build's registry file.
  linux_dir="$(mktemp -d)"
  trap 'rm -rf "$linux_dir"' EXIT
  {
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\%s]\n' "${key#HKCU\\}"
    for name in 1A2B 1A2C 3C4D; do
      printf '"%s"=hex:%s\n' "$name" "$(record "${entries[$name]}" | sed 's/../&,/g; s/,$//')"
    done
  } > "$linux_dir/user.reg"
  VEXMOR_WINDIR="$linux_dir" DISPLAY= WAYLAND_DISPLAY= "$linux_recovery" --yes >/dev/null
  linux_left="$(grep -o '^"[^"]*"' "$linux_dir/user.reg" | tr -d '"' | sort | tr '\n' ' ')"
  wine_left="$(wine reg query "$key" | awk '/REG_BINARY/ {print $1}' | sort | tr '\n' ' ')"
  if [ "$linux_left" != "$wine_left" ]; then
    echo "Linux build left: $linux_left; Windows build left: $wine_left" >&2
    exit 1
  fi
fi
echo "recovery enabled the product's entries and left the others"
