# A throw-away Dovecot for tests and benchmarks, sourced by them (needs root: it serves the
# Maildirs of the unprivileged user 65534). Plain IMAP on 127.0.0.1 on a port chosen per run,
# each user's Maildir in DIR/home/USER/Maildir, the password "secret" for every user.
#
#   start_throwaway_dovecot DIR USER...
#
# Writes DIR/dovecot.conf (the log goes to DIR/dovecot.log), starts Dovecot in the background
# and returns once it takes connections, else prints its log and returns 1. Sets DOVECOT_PORT,
# DOVECOT_PID (the caller stops it with SIGTERM and waits for it) and DOVECOT_CONF (for
# doveadm -c). Extra configuration: DOVECOT_NAMESPACE_EXTRA goes inside the INBOX's namespace,
# DOVECOT_EXTRA at the end.

throwaway_dovecot_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

throwaway_dovecot_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_throwaway_dovecot() {
  local dir="$1" user deadline
  shift
  local nobody=65534
  mkdir -p "$dir/run" "$dir/state" "$dir/home"
  chown "$nobody:$nobody" "$dir/home"
  : >"$dir/passwd"
  for user in "$@"; do printf '%s:{PLAIN}secret::::::\n' "$user" >>"$dir/passwd"; done
  DOVECOT_PORT="$(throwaway_dovecot_free_port)"
  DOVECOT_CONF="$dir/dovecot.conf"
  cat >"$DOVECOT_CONF" <<EOF
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_failure_delay = 0
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN $dir/passwd
}
userdb {
  driver = static
  args = uid=$nobody gid=$nobody home=$dir/home/%u
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = $DOVECOT_PORT
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  chroot =
}
namespace inbox {
  inbox = yes
${DOVECOT_NAMESPACE_EXTRA:-}
}
${DOVECOT_EXTRA:-}
EOF
  /usr/sbin/dovecot -c "$DOVECOT_CONF" -F >"$dir/dovecot-stdout.log" 2>&1 &
  DOVECOT_PID=$!
  # A loaded machine may take a while to start its processes: wait on the port, with a deadline.
  deadline=$((SECONDS + 30))
  until throwaway_dovecot_listening "$DOVECOT_PORT"; do
    if ((SECONDS >= deadline)) || ! kill -0 "$DOVECOT_PID" 2>/dev/null; then
      echo "Dovecot did not start:" >&2
      cat "$dir/dovecot-stdout.log" "$dir/dovecot.log" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.05
  done
}
