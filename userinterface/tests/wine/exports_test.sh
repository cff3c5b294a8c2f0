#!/usr/bin/env bash
# The export table of Vexmor_UserInterface.dll (objdump -p) holds every member of CUserInterface
# and CFrameWindow and the log writer's form, in g++'s mangling; the DLL links
# Vexmor_Validate.dll and carries its version resource.
# Usage: exports_test.sh OBJDUMP Vexmor_UserInterface.dll [SENDER_LISTS]
# SENDER_LISTS OFF: a build without the senders dialog, which imports nothing from
# Vexmor_Validate.dll.
set -euo pipefail
objdump="$1"
dll="$2"
sender_lists="${3:-ON}"
dump="$("$objdump" -p "$dll")"
table="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump")"
missing=0
for name in \
  _ZN14CUserInterfaceC1Ev _ZN14CUserInterfaceC1ERKS_ _ZN14CUserInterfaceaSERKS_ \
  _ZN14CUserInterfaceD1Ev _ZN14CUserInterface20StartProgress_Vexmor \
  _ZN14CUserInterface9s_iUICaseE _ZN14CUserInterface10s_hWndMainE \
  _ZN14CUserInterface12s_strAppPath _ZN14CUserInterface12s_strFdrName \
  _ZN14CUserInterface12s_bOEOutlookE _ZN14CUserInterface11s_bApprovedE \
  _ZN12CFrameWindowC1Ev _ZN12CFrameWindowD1Ev _ZN12CFrameWindow11GetWnd_Hwnd \
  _ZN12CFrameWindow25GetHandle_MessageListView _ZN12CFrameWindow18GetHandle_TreeView \
  _ZN12CFrameWindow19GetHandle_StatusBar _ZN12CFrameWindow25RemoveTrayIcon_NewSpamMsg \
  _Z8WriteLogh; do
  if ! grep -q "\] $name" <<<"$table"; then
    echo "not exported: $name" >&2
    missing=1
  fi
done
if [ "$sender_lists" = ON ] && ! grep -q "DLL Name: Vexmor_Validate.dll" <<<"$dump"; then
  echo "does not link Vexmor_Validate.dll" >&2
  missing=1
fi
if ! grep -q "Resource Directory" <<<"$dump" && ! grep -q "\.rsrc" <<<"$dump"; then
  echo "has no resources (dialogs, version)" >&2
  missing=1
fi
exit "$missing"
