# shellcheck shell=bash
# --web.config.file as a client sees it, the same checks for the Linux
# program (exporter.sh tls) and for talviro_exporter.exe under Wine
# (tests/windows/read_over_dll.sh web-config). Sourced; the caller gives
#   scratch              the folder of the PKI and web.yml, made the working
#                        folder by make_pki
#   port                 the running exporter's port, once it serves
#   fail MESSAGE         ends the test
#   now_ms               milliseconds
#   exporter_errors      prints the running exporter's standard error so far
#   exporter_once ARGS   runs the exporter to its end with ARGS; sets status
#                        and leaves its standard error in $scratch/once.err
# Every wait is bounded.
# shellcheck disable=SC2154  # scratch, port and status are the caller's

# make_pki: in $scratch (made the working folder), a test CA (ca.crt), the
# exporter's key and certificate for 127.0.0.1 (server.key, served.crt,
# serial 1), a client's (client.key, client.crt), and web.yml serving TLS
# with basic auth for prometheus:'a secret' (htpasswd's bcrypt hash) and a
# security header.
new_key() { openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2> /dev/null; }
# sign NAME SERIAL KEY EXTENSION: NAME.crt for KEY, signed by the CA.
sign() {
  openssl req -new -key "$3" -subj "/CN=$1" -out "$1.csr" 2> /dev/null
  openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -set_serial "$2" -days 2 \
    -extfile <(printf '%s\n' "$4") -out "$1.crt" 2> /dev/null
}
make_pki() {
  cd "$scratch" || fail "no folder $scratch"
  new_key ca.key
  openssl req -x509 -new -key ca.key -days 2 -subj /CN=talviro-test-ca -out ca.crt 2> /dev/null
  new_key server.key
  new_key client.key
  sign server 1 server.key 'subjectAltName=IP:127.0.0.1'
  sign client 3 client.key 'extendedKeyUsage=clientAuth'
  cp server.crt served.crt
  local hash
  hash=$(htpasswd -nbBC 10 prometheus 'a secret' | cut -d: -f2)
  printf '%s\n' 'tls_server_config:' '  cert_file: served.crt' '  key_file: server.key' \
    'basic_auth_users:' "  prometheus: $hash" \
    'http_server_config:' '  headers:' '    X-Content-Type-Options: nosniff' > web.yml
}

tls_curl() { curl -sS --max-time 5 --cacert "$scratch/ca.crt" "$@"; }

# served_checks: with make_pki's web.yml, the security header on an answer;
# no password, a wrong one, an unknown user answered 401 asking for basic
# auth; plain HTTP unanswered; a handshake that never ends closed by the
# header's deadline (the handshake and the header together have 3 s from
# the connection).
served_checks() {
  local headers user hello opened held
  headers=$(tls_curl -u 'prometheus:a secret' -D - -o /dev/null "https://127.0.0.1:$port/metrics" | tr -d '\r')
  grep -qx 'X-Content-Type-Options: nosniff' <<< "$headers" || fail "no security header: $headers"
  for user in '' 'prometheus:a secreT' 'grafana:a secret'; do
    headers=$(tls_curl ${user:+-u "$user"} -D - -o /dev/null "https://127.0.0.1:$port/metrics" | tr -d '\r')
    { grep -q '^HTTP/1.1 401 ' <<< "$headers" && grep -qx 'WWW-Authenticate: Basic' <<< "$headers"; } ||
      fail "user '$user': $headers"
  done
  ! curl -s --max-time 5 -o /dev/null "http://127.0.0.1:$port/metrics" || fail "plain HTTP answered"
  exec {hello}<> "/dev/tcp/127.0.0.1/$port"
  printf '\x16\x03\x01' >&"$hello"
  opened=$(now_ms)
  timeout 10 cat <&"$hello" > /dev/null || true
  held=$(( $(now_ms) - opened ))
  exec {hello}>&-
  [ "$held" -ge 2900 ] && [ "$held" -lt 5000 ] || fail "a handshake that never ends was held $held ms"
}

# change_checks: the running exporter's files changed under it. A
# certificate replaced on disk is served to the next connection; client
# certificates required: a client without one refused at the handshake, one
# with a certificate the CA signed served; a file made bad keeps the last
# good configuration, with one line.
served_serial() {
  openssl s_client -connect "127.0.0.1:$port" -CAfile "$scratch/ca.crt" < /dev/null 2> /dev/null |
    openssl x509 -noout -serial
}
change_checks() {
  local code said
  [ "$(served_serial)" = serial=01 ] || fail "served: $(served_serial)"
  sign renewed 2 server.key 'subjectAltName=IP:127.0.0.1'
  cp renewed.crt served.new && mv served.new served.crt
  [ "$(served_serial)" = serial=02 ] || fail "after the certificate was replaced: $(served_serial)"
  tls_curl -u 'prometheus:a secret' -o /dev/null "https://127.0.0.1:$port/metrics" ||
    fail "no scrape with the new certificate"

  printf '%s\n' 'tls_server_config:' '  cert_file: served.crt' '  key_file: server.key' \
    '  client_auth_type: RequireAndVerifyClientCert' '  client_ca_file: ca.crt' > web.new
  mv web.new web.yml
  code=$(curl -sS --max-time 5 --cacert ca.crt -o /dev/null -w '%{http_code}' "https://127.0.0.1:$port/metrics" \
           2> "$scratch/refused") && fail "served without a client certificate"
  [ "$code" = 000 ] || fail "without a client certificate: HTTP $code"
  # TLS 1.3's alert comes after the client's last flight, and may be lost
  # to the close that follows it; TLS 1.2's comes within the handshake.
  curl -sS --max-time 5 --cacert ca.crt --tls-max 1.2 -o /dev/null "https://127.0.0.1:$port/metrics" \
    2> "$scratch/refused" && fail "served over TLS 1.2 without a client certificate"
  grep -q 'alert handshake failure' "$scratch/refused" || fail "refused how over TLS 1.2: $(cat "$scratch/refused")"
  code=$(tls_curl --cert client.crt --key client.key -o /dev/null -w '%{http_code}' "https://127.0.0.1:$port/metrics")
  [ "$code" = 200 ] || fail "with a client certificate: HTTP $code"

  printf '%s\n' 'tls_server_config:' '  cert_file: missing.crt' '  key_file: server.key' > web.new
  mv web.new web.yml
  for _ in 1 2 3; do
    code=$(tls_curl --cert client.crt --key client.key -o /dev/null -w '%{http_code}' "https://127.0.0.1:$port/metrics")
    [ "$code" = 200 ] || fail "after a bad change: HTTP $code"
  done
  said=$(exporter_errors | grep -c -- '--web.config.file' || true)
  [ "$said" -eq 1 ] || fail "$said lines for one bad change"
  exporter_errors | grep -qxF "talviro_exporter: --web.config.file $scratch/web.yml: cannot read tls_server_config.cert_file $scratch/missing.crt: No such file or directory; keeping the last good one" ||
    fail "the line for a bad change: $(exporter_errors | grep -- --web.config)"
}

# refused_at_start_checks: a file that cannot be used at start: status 1,
# and why, by name; what the exporter toolkit has and this exporter not is
# refused by name.
refused_at_start_checks() {
  local text error
  while IFS='|' read -r text error; do
    printf '%b' "$text" > bad.yml
    exporter_once --listen 127.0.0.1:0 --web.config.file "$scratch/bad.yml"
    [ "$status" -eq 1 ] || fail "$text: status $status"
    [ "$(cat "$scratch/once.err")" = "talviro_exporter: --web.config.file $scratch/bad.yml: ${error//SCRATCH/$scratch}" ] ||
      fail "$text: $(cat "$scratch/once.err")"
  done <<'ROWS'
tls_server_config:\n  cert_file: served.crt\n  key_file: server.key\n  cipher_suites: [TLS_AES_128_GCM_SHA256]\n|tls_server_config.cipher_suites is not supported by this exporter
tls_server_config:\n  cert_file: served.crt\n  key_file: server.key\n  client_auth_type: RequireAnyClientCert\n|tls_server_config.client_auth_type: RequireAnyClientCert is not supported: NoClientCert or RequireAndVerifyClientCert only
tls_server_config:\n  cert_file: served.crt\n  key_file: server.key\n  min_version: TLS11\n|tls_server_config.min_version: TLS11 is not supported: TLS 1.2 or 1.3 only
rate_limit:\n  interval: 1s\n|rate_limit is not supported by this exporter
http_server_config:\n  http2: true\n|http_server_config.http2 is not supported: HTTP/1.1 only; leave it out or say false
http_server_config:\n  headers:\n    Server: x\n|http_server_config.headers.Server is not one of the headers that may be set
basic_auth_users:\n  prometheus: secret\n|basic_auth_users.prometheus is not a bcrypt hash, as htpasswd -nBC 10 makes
tls_server_config:\n  cert_file: missing.crt\n  key_file: server.key\n|cannot read tls_server_config.cert_file SCRATCH/missing.crt: No such file or directory
tls_server_config:\n  cert_file: client.crt\n  key_file: server.key\n|tls_server_config.key_file SCRATCH/server.key is not the key of cert_file SCRATCH/client.crt
tls_server_config: [\n|not YAML at line 2, column 1: end of sequence flow not found
ROWS
}
