#!/bin/bash
# The whole `kestrup-host update` road (feed check, download of the installer with
# its digest, start of the installer) over https and HTTP/2 from nginx, against
# `curl -o` of the same installer URL with the same CA file. Both run in one
# hyperfine run; the medians and their ratio are printed at the end.
#
#   road_vs_curl.sh [BUILD_DIR] [SIZE_MIB] [RUNS]      (defaults: build 100 10)
#
# Needs nginx, openssl, curl, hyperfine and python3 (for the figures).
set -eu

build=$(cd "${1:-build}" && pwd)
size_mib=${2:-100}
runs=${3:-10}
host="$build/bin/kestrup-host"
[ -x "$host" ] || { echo "$0: $host is missing; build kestrup-host first" >&2; exit 1; }

work=$(mktemp -d)
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A CA and a certificate for 127.0.0.1, made for this run only.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "/CN=Bench CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
echo "subjectAltName=IP:127.0.0.1" > "$work/names.cnf"
openssl x509 -req -days 1 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
  -extfile "$work/names.cnf" -out "$work/server.pem" 2>/dev/null

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/www" "$work/tmp"
cat > "$work/nginx.conf" <<CONF
daemon off; master_process off; pid $work/nginx.pid; error_log $work/error.log;
events {}
http {
  access_log off; sendfile on;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$port ssl http2; root $work/www;
           ssl_certificate $work/server.pem; ssl_certificate_key $work/server.key; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!

# The installer: a script that ends at once, padded to the size asked for.
installer="$work/www/app-2.run"
printf '#!/bin/sh\nexit 0\n' > "$installer"
head -c "$((size_mib * 1048576))" /dev/urandom >> "$installer"
chmod 755 "$installer"
digest=$(sha256sum "$installer" | cut -d' ' -f1)
app=7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d
url="https://127.0.0.1:$port/app-2.run"
cat > "$work/www/feed.xml" <<FEED
<updateFeed><application id="$app"><release version="2"><digest>$digest</digest>
<mirror url="app-2.run"/></release></application></updateFeed>
FEED
echo "<serviceOfferings><serviceOffering id=\"$app\" version=\"1\"/></serviceOfferings>" > "$work/registry.xml"
cat > "$work/host.ini" <<INI
[Identities]
DomainID=bench
[Host]
RegistryFile=registry.xml
FeedUrl=https://127.0.0.1:$port/feed.xml
DataFolder=data
CaFile=ca.pem
INI

for _ in $(seq 50); do curl -s --cacert "$work/ca.pem" -o /dev/null "$url" && break; sleep 0.1; done

hyperfine --warmup 1 --runs "$runs" --export-json "$work/figures.json" \
  --prepare "rm -rf '$work/data' '$work/curl.out'" \
  -n road "'$host' update --app $app --config '$work/host.ini'" \
  -n curl "curl -sS --http2 --cacert '$work/ca.pem' -o '$work/curl.out' '$url'"

python3 - "$work/figures.json" "$size_mib" <<'PY'
import json, sys
results = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
road, curl = results["road"], results["curl"]
print("%s MiB over https + HTTP/2: road median %.3f s, curl -o median %.3f s, ratio %.2fx"
      % (sys.argv[2], road, curl, road / curl))
PY
