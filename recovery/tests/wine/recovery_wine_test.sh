#!/usr/bin/env bash
# Vexmor_Recovery.exe under Wine (run by cmake/wine-test.sh, which makes the prefix): entries of
# the account client's DisabledItems key that name the product are deleted, two of them in a
# row included, and another add-in's entry stays; a second run finds nothing to do.
set -euo pipefail
recovery="$1"
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

wine reg add "$key" /v 1A2B /t REG_BINARY /d "$(record 'C:\Program Files\Vexmor\Vexmor_Addin.dll')" /f
wine reg add "$key" /v 1A2C /t REG_BINARY /d "$(record 'C:\Program Files\VEXMOR\Vexmor_Addin.dll')" /f
wine reg add "$key" /v 3C4D /t REG_BINARY /d "$(record 'C:\Program Files\Other\other.dll')" /f

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
echo "recovery enabled the product's entries and left the others"
