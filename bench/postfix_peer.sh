# bash (uses /dev/tcp).
# Postfix as a benchmark peer (sourced by bench scripts; needs root and Debian's postfix
# package, installed with debconf "No configuration" so that no system instance exists).
#
#   . bench/postfix_peer.sh
#   postfix_peer_start DIR PORT [EXTRA_MAIN_CF_FILE]   # config and queue below DIR
#   postfix_peer_master_pid DIR                        # pid of its master process
#   postfix_peer_held DIR                              # messages in its hold queue
#   postfix_peer_clear DIR                             # empty the hold queue
#   postfix_peer_stop DIR                              # stop it and remove DIR
#
# The instance listens on 127.0.0.1:PORT only, accepts mail from 127.0.0.0/8 for the local
# domain corp.example and puts every message on hold, so that its work per message is the
# SMTP dialogue plus one flushed queue file, and nothing is ever delivered. Everything it
# uses (configuration, queue, data directory) lives below DIR. An EXTRA_MAIN_CF_FILE
# is appended to main.cf (for example TLS settings).

postfix_peer_start() {
  _pf_dir=$1
  _pf_port=$2
  _pf_extra=${3:-}
  command -v postfix >/dev/null 2>&1 || {
    echo "postfix_peer: the postfix package is not installed (apt-get install postfix," \
      "debconf main_mailer_type 'No configuration')" >&2
    return 1
  }
  mkdir -p "$_pf_dir/etc" "$_pf_dir/queue" "$_pf_dir/data"
  chown root:root "$_pf_dir/queue"
  chown postfix:postfix "$_pf_dir/data"
  cp /etc/postfix/dynamicmaps.cf "$_pf_dir/etc/" 2>/dev/null || true
  cat >"$_pf_dir/etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $_pf_dir/queue
data_directory = $_pf_dir/data
myhostname = peer.corp.example
mydomain = corp.example
myorigin = corp.example
mydestination = corp.example
mynetworks = 127.0.0.0/8
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
local_recipient_maps =
alias_maps =
alias_database =
smtpd_peername_lookup = no
smtpd_client_restrictions = check_client_access static:HOLD
smtpd_client_connection_count_limit = 0
smtpd_client_connection_rate_limit = 0
smtpd_client_message_rate_limit = 0
smtpd_banner = \$myhostname ESMTP
default_process_limit = 250
biff = no
EOF
  [ -n "$_pf_extra" ] && cat "$_pf_extra" >>"$_pf_dir/etc/main.cf"
  cat >"$_pf_dir/etc/master.cf" <<EOF
127.0.0.1:$_pf_port inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
lmtp      unix  -       -       n       -       -       lmtp
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
EOF
  postfix -c "$_pf_dir/etc" start >"$_pf_dir/start.log" 2>&1 || {
    cat "$_pf_dir/start.log" >&2
    return 1
  }
  # Ready when the port answers.
  _pf_i=0
  while [ $_pf_i -lt 100 ]; do
    if (exec 3<>"/dev/tcp/127.0.0.1/$_pf_port") 2>/dev/null; then return 0; fi
    sleep 0.1
    _pf_i=$((_pf_i + 1))
  done
  echo "postfix_peer: no answer on 127.0.0.1:$_pf_port" >&2
  return 1
}

postfix_peer_master_pid() {
  tr -d ' \n' <"$1/queue/pid/master.pid"
}

postfix_peer_held() {
  find "$1/queue/hold" -type f 2>/dev/null | wc -l
}

postfix_peer_clear() {
  find "$1/queue/hold" "$1/queue/incoming" "$1/queue/active" -type f -delete 2>/dev/null || true
}

postfix_peer_stop() {
  _pf_dir=$1
  if [ -f "$_pf_dir/queue/pid/master.pid" ]; then
    _pf_pid=$(postfix_peer_master_pid "$_pf_dir")
    postfix -c "$_pf_dir/etc" stop >/dev/null 2>&1 || kill "$_pf_pid" 2>/dev/null
    _pf_i=0
    while kill -0 "$_pf_pid" 2>/dev/null && [ $_pf_i -lt 100 ]; do
      sleep 0.1
      _pf_i=$((_pf_i + 1))
    done
    kill -9 "$_pf_pid" 2>/dev/null || true
  fi
  rm -rf "$_pf_dir"
}
