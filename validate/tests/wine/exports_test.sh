#!/usr/bin/env bash
# The export table of Vexmor_Validate.dll (objdump -p) names every class and function its
# callers use: the four classes (their constructors and destructors, in g++'s Itanium mangling)
# and the six set-up and process functions under their plain names.
set -euo pipefail
objdump="$1"
dll="$2"
table="$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')"
if [ -z "$table" ]; then
  echo "no export table in $dll" >&2
  exit 1
fi
missing=0
expect() {
  if ! grep -q -E "\] $1\$" <<<"$table"; then
    echo "missing export: $1 ($2)" >&2
    missing=1
  fi
}
for function in IsExeRunning_SetUp FindNearServer CreateECF_MSO CreateINI_Uninstallation \
                Check_LogOff ExecuteExplorer; do
  expect "$function" "function"
done
for class in CCheckSum CCheckValidate CXml CCheckExe; do
  length=${#class}
  expect "_ZN${length}${class}C[12]E.*" "$class constructor"
  expect "_ZN${length}${class}D[012]Ev" "$class destructor"
  expect "_ZTV${length}${class}" "$class vtable"
done
if [ "$missing" -ne 0 ]; then
  exit 1
fi
echo "every export is there"
