#!/usr/bin/env bash
# The export table of Vexmor_Validate.dll (objdump -p) names every class and function its
# callers use: the classes named after the version (their constructors, destructors and vtables,
# in g++'s Itanium mangling) and the six set-up and process functions under their plain names.
# The DLL carries a version resource with the project's version.
#   exports_test.sh OBJDUMP DLL VERSION CLASS...
set -euo pipefail
objdump="$1"
dll="$2"
version="$3"
shift 3
classes=("$@")
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
for class in "${classes[@]}"; do
  length=${#class}
  expect "_ZN${length}${class}C[12]E.*" "$class constructor"
  expect "_ZN${length}${class}D[012]Ev" "$class destructor"
  expect "_ZTV${length}${class}" "$class vtable"
done
# The version resource's strings are UTF-16 (strings -el reads them).
strings="${objdump%objdump}strings"
if ! "$strings" -el "$dll" | grep -q -x -F "$version"; then
  echo "no version resource with version $version in $dll" >&2
  missing=1
fi
if [ "$missing" -ne 0 ]; then
  exit 1
fi
echo "every export is there"
