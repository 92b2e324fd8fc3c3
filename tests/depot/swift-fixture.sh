#!/usr/bin/env bash
# swift-fixture.sh start|stop DIR PORT
# A single-node object store with an S3 front on loopback for the depot tests: memcached, the
# account, container and object servers and the proxy (s3api before tempauth, slo and dlo
# after it, or multipart uploads are refused), one replica on one device, everything below
# DIR. The proxy listens on 127.0.0.1:PORT; the others on PORT+1..PORT+4.
# S3 key "depot:uploader", secret "depot-secret"; bucket "recordings" is made at the first
# start. "start" on a DIR that already holds a store starts the same store again (its objects
# and unfinished uploads kept), which is how the tests take the store away and bring it back.
# "stop" ends every process started from DIR (by the pid files it wrote), and nothing else.
set -euo pipefail
action=${1:?start or stop}
dir=${2:?scratch folder}
port=${3:?proxy port}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
etc=$dir/etc
run=$dir/run

stop_all() {
  [[ -d $run ]] || return 0
  local pidfile pid
  for pidfile in "$run"/*.pid; do
    [[ -e $pidfile ]] || continue
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
  done
  for pidfile in "$run"/*.pid; do
    [[ -e $pidfile ]] || continue
    pid=$(cat "$pidfile")
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
  done
}

if [[ $action == stop ]]; then
  stop_all
  exit 0
fi
[[ $action == start ]] || { echo "usage: $0 start|stop DIR PORT" >&2; exit 2; }

# Whatever fails below leaves nothing running.
trap 'stop_all' ERR

memcached_port=$((port + 1))
account_port=$((port + 2))
container_port=$((port + 3))
object_port=$((port + 4))
devices=$dir/devices
mkdir -p "$etc" "$run" "$devices/d1" "$dir/log"

if ! python3 - "$devices/d1" <<'EOF'
import os, sys
path = os.path.join(sys.argv[1], ".xattr-probe")
open(path, "w").close()
try:
    os.setxattr(path, "user.probe", b"1")
finally:
    os.unlink(path)
EOF
then
  echo "swift-fixture: $devices does not keep extended attributes" >&2
  exit 1
fi

if [[ ! -e $etc/object.ring.gz ]]; then
  cat >"$etc/swift.conf" <<EOF
[swift-hash]
swift_hash_path_suffix = quillmar-test
swift_hash_path_prefix = quillmar-test
[storage-policy:0]
name = Policy-0
default = yes
EOF
  for ring in account:$account_port container:$container_port object:$object_port; do
    name=${ring%%:*}
    rport=${ring##*:}
    swift-ring-builder "$etc/$name.builder" create 10 1 1 >/dev/null
    swift-ring-builder "$etc/$name.builder" add r1z1-127.0.0.1:$rport/d1 100 >/dev/null
    swift-ring-builder "$etc/$name.builder" rebalance >/dev/null
  done
fi

common() {
  cat <<EOF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = $1
workers = 0
mount_check = false
devices = $devices
swift_dir = $etc
user = $(id -un)
log_facility = LOG_LOCAL0
log_name = $2
EOF
}
for server in account:$account_port container:$container_port object:$object_port; do
  name=${server%%:*}
  sport=${server##*:}
  {
    common "$sport" "$name"
    cat <<EOF
[pipeline:main]
pipeline = $name-server
[app:$name-server]
use = egg:swift#$name
[${name}-replicator]
[${name}-auditor]
EOF
    [[ $name == container ]] && printf '[container-updater]\n[container-sync]\n'
    [[ $name == object ]] && printf '[object-updater]\n[object-expirer]\n'
    [[ $name == account ]] && printf '[account-reaper]\n'
  } >"$etc/$name-server.conf"
done
{
  common "$port" proxy
  cat <<EOF
[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache s3api tempauth copy slo dlo proxy-logging proxy-server
[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
allow_account_management = true
[filter:catch_errors]
use = egg:swift#catch_errors
[filter:gatekeeper]
use = egg:swift#gatekeeper
[filter:healthcheck]
use = egg:swift#healthcheck
[filter:proxy-logging]
use = egg:swift#proxy_logging
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:$memcached_port
[filter:s3api]
use = egg:swift#s3api
location = us-east-1
[filter:tempauth]
use = egg:swift#tempauth
user_depot_uploader = depot-secret .admin
[filter:copy]
use = egg:swift#copy
[filter:slo]
use = egg:swift#slo
[filter:dlo]
use = egg:swift#dlo
EOF
} >"$etc/proxy-server.conf"

start_daemon() {
  local name=$1
  shift
  if [[ -e $run/$name.pid ]] && kill -0 "$(cat "$run/$name.pid")" 2>/dev/null; then return 0; fi
  setsid "$@" >>"$dir/log/$name.log" 2>&1 </dev/null &
  echo $! >"$run/$name.pid"
}
start_daemon memcached memcached -l 127.0.0.1 -p "$memcached_port" -U 0 -m 16 -u "$(id -un)"
for name in account container object; do
  start_daemon "$name" "swift-$name-server" "$etc/$name-server.conf"
done

# wait_for TRIES WHAT PROBE ARGS...: runs the Python PROBE with ARGS every 0.2 s until it succeeds,
# at most TRIES times; fails at once, with its log, when a process started here has died.
wait_for() {
  local tries=$1 what=$2 probe=$3 pidfile
  shift 3
  for _ in $(seq "$tries"); do
    python3 -c "$probe" "$@" 2>/dev/null && return 0
    for pidfile in "$run"/*.pid; do
      kill -0 "$(cat "$pidfile")" 2>/dev/null && continue
      echo "swift-fixture: $(basename "$pidfile" .pid) died:" >&2
      tail -20 "$dir/log/$(basename "$pidfile" .pid).log" >&2
      return 1
    done
    sleep 0.2
  done
  echo "swift-fixture: $what" >&2
  return 1
}

# The proxy only once every server behind it listens: a request it cannot pass on counts against
# that server, and after a few such errors the proxy refuses it for a minute even once it is up.
wait_for 300 "the servers behind the proxy did not listen" '
import socket, sys
for p in sys.argv[1:]:
    socket.create_connection(("127.0.0.1", int(p)), timeout=1).close()
' "$memcached_port" "$account_port" "$container_port" "$object_port"
start_daemon proxy swift-proxy-server "$etc/proxy-server.conf"

# Bounded wait for the proxy, then the bucket (the first start makes it).
wait_for 150 "proxy did not answer on port $port" '
import sys, urllib.request
urllib.request.urlopen("http://127.0.0.1:%s/healthcheck" % sys.argv[1], timeout=1).read()
' "$port"

if [[ ! -e $dir/bucket-made ]]; then
  python3 - "$port" <<'EOF'
import sys, time, boto3, botocore.config
s3 = boto3.client("s3", endpoint_url="http://127.0.0.1:%s" % sys.argv[1], region_name="us-east-1",
                  aws_access_key_id="depot:uploader", aws_secret_access_key="depot-secret",
                  config=botocore.config.Config(s3={"addressing_style": "path"}, retries={"max_attempts": 1}))
last = None
for _ in range(50):
    try:
        s3.create_bucket(Bucket="recordings")
        break
    except Exception as e:  # the servers behind the proxy may still be coming up
        last = e
        time.sleep(0.2)
else:
    raise SystemExit("swift-fixture: cannot make the bucket: %s" % last)
EOF
  touch "$dir/bucket-made"
fi
trap - ERR
