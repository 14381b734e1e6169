#!/usr/bin/env bash
# Makes a self-signed certificate for a trial of the registry over HTTPS:
#   tls-self-signed.sh DIR [ADDRESS]
# writes DIR/cert.pem and DIR/key.pem (P-256, valid 825 days) for localhost,
# 127.0.0.1, ::1, this machine's names and addresses, ADDRESS (unless it is a
# wildcard) and the names in REGISTRY_TLS_NAMES (comma-separated). Clients trust cert.pem
# itself as the CA (e.g. /etc/containers/certs.d/HOST:PORT/ca.crt).
set -euo pipefail
dir=$1 address=${2:-}
command -v openssl >/dev/null || { echo "tls-self-signed: openssl is not installed" >&2; exit 1; }
mkdir -p "$dir"

names=(localhost 127.0.0.1 ::1 "$(hostname)")
fqdn=$(hostname -f 2>/dev/null || true)
[ -n "$fqdn" ] && names+=("$fqdn")
# Its addresses too, for clients that name the registry by one.
read -r -a addrs <<< "$(hostname -I 2>/dev/null || true)"
names+=("${addrs[@]}")
case $address in ''|0.0.0.0|::|'[::]') ;; *) names+=("$address") ;; esac
IFS=, read -r -a extra <<< "${REGISTRY_TLS_NAMES:-}"
names+=("${extra[@]}")

san= seen=,
for n in "${names[@]}"; do
    [ -n "$n" ] || continue
    case $seen in *",$n,"*) continue ;; esac
    seen+="$n,"
    if [[ $n =~ ^[0-9.]+$ || $n == *:* ]]; then san+=",IP:$n"; else san+=",DNS:$n"; fi
done

# Written aside and moved in place, so a half-made pair is never used.
tmp=$(mktemp -d "$dir/.new-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
umask 077
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 825 \
    -subj "/CN=${names[3]:-localhost}" -addext "subjectAltName=${san#,}" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
chmod 644 "$tmp/cert.pem"
mv -f "$tmp/key.pem" "$dir/key.pem"
mv -f "$tmp/cert.pem" "$dir/cert.pem"
echo "tls-self-signed: made $dir/cert.pem for ${san#,}" >&2
