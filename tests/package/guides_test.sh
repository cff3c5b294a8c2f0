#!/usr/bin/env bash
# Follows the two guides in docs/ the way a user does: the Debian package unpacked into a
# throw-away root, then, as an unprivileged user with a home of its own, every ```sh block of a
# guide in order, against a throw-away vexmor-sigd and Dovecot on 127.0.0.1 (ports chosen per
# run). It checks that spam moved in both clients, then runs the guide's undo steps and checks
# that nothing of Vexmor runs any more. Exit 77 (skipped) unless run as root: Dovecot and the
# change to the unprivileged user need it.
#   guides_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
src="$1"
build="$2"
version="$3"
source "$src/scripts/lib/throwaway-dovecot.sh"
[[ "$(id -u)" == 0 ]] || { echo "SKIP: the guides' test runs as root (Dovecot, setpriv)"; exit 77; }
for tool in /usr/sbin/dovecot fetchmail procmail setpriv; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work="$(mktemp -d -t vexmor-guides.XXXXXX)"
chmod 0755 "$work"
pids=()
# A delivery gone astray lands in the user's system mailbox: it must not stay behind.
spool=/var/mail/nobody
spool_was_there=0
[[ -e "$spool" ]] && spool_was_there=1
cleanup() {
  local pid
  [[ $spool_was_there == 0 ]] && rm -f "$spool"
  local units
  units="$(cat "$work"/units/*.pid 2>/dev/null || true)"
  for pid in "${pids[@]}" $units; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # The units' programs are no children of this script: wait until they are gone, so none
  # writes into the folder while it is removed.
  for pid in $units; do
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  [[ "${VEXMOR_GUIDES_KEEP:-0}" == 1 ]] && echo "(kept: $work)" || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for file in "$work"/*.log "$work"/units/*.out "$work"/home-*/.local/share/vexmor/install/*_Log.txt \
              "$work"/home-*/.local/share/vexmor/install/verdicts.jsonl "$work/dovecot/dovecot.log" \
              "$work/dovecot/dovecot-stdout.log"; do
    [[ -s "$file" ]] && { echo "== $file" >&2; tail -n 40 "$file" >&2; }
  done
  exit 1
}
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# The package, unpacked and readable by everyone.
(cd "$build" && cpack --config CPackConfig.cmake) >"$work/cpack.log" 2>&1 || fail "cpack"
deb="$build/package/vexmor_${version}_amd64.deb"
[[ -f "$deb" ]] || fail "no $deb"
[[ "$(dpkg-deb -f "$deb" Depends)" == *xdg-utils* ]] || fail "the package does not depend on xdg-utils"
root="$work/root"
dpkg-deb -x "$deb" "$root"
chmod -R a+rX "$root"
pkg="$root/usr/lib/vexmor"
before_runs="$(cd "$pkg" && find . | sort)"

# A throw-away signature server; it knows the link domain of one spam message as reported.
"$root/usr/bin/vexmor-sigd" --listen 127.0.0.1:0 --port-file "$work/sigd.port" \
  --db "$work/signatures.db" >"$work/sigd.log" 2>&1 &
pids+=($!)
wait_for 20 test -s "$work/sigd.port" || fail "vexmor-sigd did not start"
sigd="127.0.0.1:$(cat "$work/sigd.port")"
link_sig="$(printf 'bargain-pills.biz' | "$root/usr/bin/vexmor" signature --link)"
exec 3<>"/dev/tcp/127.0.0.1/${sigd#*:}"
printf 'GET /cgi-bin/checksum_update_url.cgi?checksum_rec=%s HTTP/1.0\r\n\r\n' "$link_sig" >&3
grep -q ' 200 ' <(head -n 1 <&3) || fail "vexmor-sigd did not take the report"
exec 3<&-

# A throw-away Dovecot: users u1 and u2 (password "secret"), Maildirs of the unprivileged user.
nobody=65534
dc="$work/dovecot"
DOVECOT_NAMESPACE_EXTRA='  mailbox Sent {
    special_use = \Sent
  }'
start_throwaway_dovecot "$dc" u1 u2 || fail "Dovecot did not start"
pids+=("$DOVECOT_PID")
imap_port="$DOVECOT_PORT"

# Three messages: spam in a foreign character set, spam by its reported link domain, and a
# colleague's mail.
deliver() {  # deliver USER NAME: the three messages into the user's INBOX, as an MDA does
  local user="$1" name dir="$dc/home/$1/Maildir"
  mkdir -p "$dir"/{cur,new,tmp}
  for name in charset link ham; do
    case "$name" in
      charset) printf 'From: Shop <sales@shop.example>\nSubject: New arrivals\nMIME-Version: 1.0\nContent-Type: text/html; charset=koi8-r\n' ;;
      link) printf 'From: Offers <offers@fresh-sender.example>\nSubject: Your weekly savings\n' ;;
      ham) printf 'From: Colleague <colleague@work.example>\nSubject: Lunch tomorrow?\n' ;;
    esac >"$dir/tmp/$name"
    printf 'To: %s@example.org\nMessage-ID: <%s-%s@guides.test>\nX-Vexmor-Guide: %s\n' \
      "$user" "$name" "$user" "$name" >>"$dir/tmp/$name"
    printf 'Date: Mon, 7 Dec 2026 10:00:00 +0000\n\n' >>"$dir/tmp/$name"
    case "$name" in
      charset) printf '<html><head><meta content="text/html; charset=KOI8-R"></head><body>hello</body></html>\n' ;;
      link) printf 'Everything cheaper this week: http://www.bargain-pills.biz/offer\n' ;;
      ham) printf 'Shall we meet at noon?\n' ;;
    esac >>"$dir/tmp/$name"
    mv "$dir/tmp/$name" "$dir/new/$(date +%s).$name.guides"
  done
  chown -R "$nobody:$nobody" "$dc/home/$user"
}
# Where the message NAME lies below Maildir ROOT: "Inbox", a folder's name, or "(gone)".
folder_of() {
  local path
  path="$(grep -rlx -F "X-Vexmor-Guide: $2" "$1" 2>/dev/null | grep -E '/(new|cur)/' | head -n 1)"
  [[ -z "$path" ]] && { echo "(gone)"; return; }
  path="${path#"$1"/}"
  case "$path" in
    new/* | cur/*) echo Inbox ;;
    .*) path="${path#.}"; echo "${path%%/*}" ;;
  esac
}
spam_in_spam() { [[ "$(folder_of "$1" charset)" == Spam && "$(folder_of "$1" link)" == Spam ]]; }

# Stand-ins the test puts first on the user's PATH:
# "systemctl --user": no user manager runs here, so it runs a unit's ExecStart (the drop-ins'
# last one wins) in the background from the unpacked root and stops it again.
shims="$work/shims"
mkdir -p "$shims" "$work/units"
chmod 0777 "$work/units"
cat >"$shims/systemctl" <<'EOF'
#!/usr/bin/env bash
set -euo pipefail
[[ "${1:-}" == --user ]] && shift
units="$VEXMOR_TEST_ROOT/usr/share/systemd/user"
setting() {  # setting UNIT KEY: the key's last value in the unit and its drop-ins, on the root
  local value="" file line
  for file in "$units/$1" "$HOME/.config/systemd/user/$1.d/"*.conf; do
    [[ -f "$file" ]] || continue
    while IFS= read -r line; do [[ "$line" == "$2="* ]] && value="${line#"$2="}"; done <"$file"
  done
  [[ "$value" == /usr/* ]] && value="$VEXMOR_TEST_ROOT$value"
  echo "$value"
}
start() {
  local command
  command="$(setting "$1" ExecStart)"
  [[ -n "$command" ]] || { echo "systemctl: no unit $1" >&2; exit 5; }
  setsid $command >>"$VEXMOR_TEST_UNITS/$1.out" 2>&1 </dev/null &
  echo $! >"$VEXMOR_TEST_UNITS/$1.pid"
}
stop() {
  local pid command
  [[ -f "$VEXMOR_TEST_UNITS/$1.pid" ]] || return 0
  pid="$(cat "$VEXMOR_TEST_UNITS/$1.pid")"
  command="$(setting "$1" ExecStop)"
  [[ -n "$command" ]] && $command >>"$VEXMOR_TEST_UNITS/$1.out" 2>&1 || true
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -f "$VEXMOR_TEST_UNITS/$1.pid"
}
case "${1:-}" in
  daemon-reload) ;;
  enable) [[ "$2" == --now ]] && start "$3" ;;
  start) start "$2" ;;
  disable) [[ "$2" == --now ]] && stop "$3" ;;
  stop) stop "$2" ;;
  *) echo "systemctl stand-in: $* is not supported" >&2; exit 1 ;;
esac
EOF
chmod 0755 "$shims"/*

# The ```sh blocks of a guide, in order, each with the section it stands in, and the guide's
# example values replaced by this run's.
extract() {  # extract GUIDE DIR
  mkdir -p "$2"
  awk -v dir="$2" '
    /^## / { section = substr($0, 4) }
    /^```sh$/ { n++; file = sprintf("%s/%02d.sh", dir, n); print section > (file ".section"); inside = 1; next }
    /^```/ && inside { inside = 0; close(file); next }
    inside { print > file }
  ' "$1"
  sed -i -e "s|127\\.0\\.0\\.1:8631|$sigd|g" \
         -e "s|/usr/share/doc/vexmor/|$root/usr/share/doc/vexmor/|g" \
         -e "s|your-password|secret|g" "$2"/*.sh
  chmod -R a+rX "$2"
}

# Runs one guide as the unprivileged user; before_block SECTION runs (as root) before each block.
follow() {  # follow GUIDE HOME
  local guide="$1" home="$2" block section
  mkdir -p "$home"
  chown "$nobody:$nobody" "$home"
  chmod 0700 "$home"
  extract "$guide" "$work/blocks-${home##*/}"
  for block in "$work/blocks-${home##*/}"/*.sh; do
    section="$(cat "$block.section")"
    before_block "$section"
    echo "== ${guide##*/}: $section"
    sed 's/^/   $ /' "$block"
    as_user "$home" bash -euo pipefail "$block" >>"$work/guide.log" 2>&1 \
      || fail "${guide##*/}, section '$section': the block failed"
  done
}
as_user() {  # as_user HOME COMMAND...
  local home="$1"; shift
  env -i HOME="$home" USER=nobody LOGNAME=nobody SHELL=/bin/sh LANG=C.UTF-8 \
      PATH="$shims:$root/usr/bin:/usr/bin:/bin" XDG_RUNTIME_DIR="$home/.run" \
      VEXMOR_TEST_ROOT="$root" VEXMOR_TEST_UNITS="$work/units" VEXMOR_THROTTLE=off \
      setpriv --reuid="$nobody" --regid="$nobody" --clear-groups -- \
      bash -c 'mkdir -p -m 0700 "$XDG_RUNTIME_DIR" && exec "$@"' bash "$@"
}
unit_running() { [[ -f "$work/units/$1.pid" ]] && kill -0 "$(cat "$work/units/$1.pid")" 2>/dev/null; }

# --- The local client: fetchmail from the throw-away Dovecot into ~/Maildir.
home1="$work/home-maildir"
before_block() {
  case "$1" in
    "7. Fetch")
      deliver u1
      host_up() { as_user "$home1" vexmor status --json 2>/dev/null | grep -q '"hosts":\[[0-9]'; }
      wait_for 60 host_up || fail "the session's host program did not start" ;;
    "Check that it works")
      wait_for 120 spam_in_spam "$home1/Maildir" || fail "the local client moved no spam" ;;
  esac
}
guide1="$work/filter-maildir-fetchmail-neomutt.md"
sed -e "s|mail\\.example\\.org protocol IMAP port 993|127.0.0.1 protocol IMAP port $imap_port|" \
    -e 's|user "alice"|user "u1"|' -e 's|^  ssl$|  sslproto ""|' \
    "$src/docs/filter-maildir-fetchmail-neomutt.md" >"$guide1"
follow "$guide1" "$home1"
install1="$home1/.local/share/vexmor/install"
[[ "$(folder_of "$home1/Maildir" ham)" == Inbox ]] || fail "the colleague's mail left the Inbox"
grep -q '"folder_name":"Inbox"' "$install1/verdicts.jsonl" || fail "no folder name in verdicts.jsonl"
grep -q '"message_id":"<link-u1@guides.test>".*"rule":"link-signature","rule_text":"its link domain' \
  "$install1/verdicts.jsonl" || fail "the link spam's verdict line lacks its Message-ID or rule"
grep -q '^Information: .*\[S\] Vexmor Started\.' "$install1/Vexmor_OE_Log.txt" || fail "no activity log"
as_user "$home1" neomutt -n -F "$home1/.neomuttrc" -Q spoolfile >>"$work/guide.log" 2>&1 \
  || fail "neomutt does not take the guide's configuration"
unit_running vexmor-session.service && fail "the session still runs after the undo steps"
grep -q vexmor "$home1/.fetchmailrc" && fail "fetchmail still calls vexmor after the undo steps"
echo "== the local client filtered fetchmail's mail: spam in .Spam, the rest in the Inbox"

# --- The account client: the INBOX of u2 on the throw-away Dovecot.
home2="$work/home-imap"
before_block() {
  case "$1" in
    "Check that it works")
      bar_up() { as_user "$home2" vexmor outlook bar >/dev/null 2>&1; }
      wait_for 60 bar_up || fail "the add-in host did not start"
      deliver u2
      wait_for 120 spam_in_spam "$dc/home/u2/Maildir" || fail "the account client moved no spam" ;;
  esac
}
guide2="$work/filter-imap-account.md"
sed -e "s|imap://alice@mail\\.example\\.org:993 --tls tls|imap://u2@127.0.0.1:$imap_port --tls none|" \
    "$src/docs/filter-imap-account.md" >"$guide2"
follow "$guide2" "$home2"
install2="$home2/.local/share/vexmor/install"
[[ "$(folder_of "$dc/home/u2/Maildir" ham)" == Inbox ]] || fail "the colleague's mail left the INBOX"
grep -q '"mailbox":"INBOX","folder_name":"Inbox","message_id":"charset-u2@guides.test"' \
  "$install2/verdicts.jsonl" || fail "the account's verdict lines lack the folder or Message-ID"
grep -q 'Vexmor Initialized' "$install2/Vexmor_Outlook_Log.txt" || fail "no add-in log in $install2"
unit_running vexmor-addin-host.service && fail "the add-in host still runs after the undo steps"
[[ -e "$install2/Addins/Vexmor.ECF" ]] && fail "the extension stays registered after the undo steps"
grep -q Vexmor.OutLookPlugin "$home2/.config/vexmor/user.reg" && fail "the add-in's keys stay"
echo "== the account client filtered the INBOX: spam in Spam, the rest in the INBOX"

# Neither client wrote into the programs' folder.
[[ "$(cd "$pkg" && find . | sort)" == "$before_runs" ]] \
  || fail "the programs' folder changed: $(diff <(echo "$before_runs") <(cd "$pkg" && find . | sort))"
echo "guides work: $deb"
