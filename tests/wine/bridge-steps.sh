# The network bridge, sourced by run-wine.sh once the package is installed (it uses step,
# windows_path, $wine, $vcomctl, $programs, $work and the background array that finish kills).
#
# client: Debian's ser2net serves one end of a socat pseudo-terminal pair in RFC 2217 mode, an
# echo sits on the other end, and `vcomctl connect COM40` makes the application's port; the runner
# checks the pseudo-terminal's settings and stops and restarts ser2net when bridge_test asks.
# server: `vcomctl serve COM42` shares one end of a pair with pyserial's RFC 2217 client, which
# sets 57600 baud and echoes; bridge_test sits on the partner, COM43.

bridge=$work/bridge
mkdir -p "$bridge/sync"
sync_dir=$(windows_path "$bridge/sync")
echo_py=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/bridge_echo.py

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_for FILE SECONDS: bridge_test's signal, or the run fails.
wait_for() {
    local waited=0
    while [[ ! -e $bridge/sync/$1 ]]; do
        if ((waited >= $2 * 10)) || ! kill -0 "$client" 2>/dev/null; then
            failure="bridge: bridge_test never signalled $1"
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

start_ser2net() {
    ser2net -n -d -c "$bridge/ser2net.yaml" >>"$log" 2>&1 &
    ser2net_pid=$!
    background+=("$ser2net_pid")
}

step 60 "bridge: the pairs (vcomctl pair 41, 43 --temporary)" \
    "$wine" "$vcomctl" pair 41 --temporary --com COM40,COM41
step 60 "bridge: the served pair" "$wine" "$vcomctl" pair 43 --temporary --com COM42,COM43

socat pty,raw,echo=0,link="$bridge/serial" pty,raw,echo=0,link="$bridge/far" >>"$log" 2>&1 &
background+=($!)
for _ in $(seq 50); do [[ -e $bridge/serial && -e $bridge/far ]] && break; sleep 0.1; done
# ser2net opens its end anew for each connection; held open here, the pseudo-terminal keeps its
# settings between connections and socat never sees its last user leave.
exec {serial_fd}<>"$bridge/serial"
/usr/bin/python3 "$echo_py" --pty "$bridge/far" >>"$log" 2>&1 &
background+=($!)
ser2net_port=$(free_port)
cat >"$bridge/ser2net.yaml" <<EOF
connection: &bridge
  accepter: telnet(rfc2217),tcp,127.0.0.1,$ser2net_port
  connector: serialdev,$bridge/serial,9600n81,local
EOF
start_ser2net
for _ in $(seq 50); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $ser2net_port), 1).close()" \
        2>/dev/null && break
    sleep 0.1
done
# The figure to set the bridge's against: pyserial's client through the same server and echo.
step 120 "bridge: pyserial's RFC 2217 client through ser2net, measured" \
    /usr/bin/python3 "$echo_py" --bench "rfc2217://127.0.0.1:$ser2net_port"

printf '=== bridge: vcomctl connect COM40 127.0.0.1:%s, in the background\n' "$ser2net_port" >>"$log"
"$wine" "$vcomctl" connect COM40 "127.0.0.1:$ser2net_port" >>"$log" 2>&1 &
background+=($!)
printf '=== bridge: bridge_test client, in the background (at %d s)\n' $((SECONDS - started)) >>"$log"
timeout --kill-after=5 240 "$wine" "$programs/bridge_test.exe" client --vcomctl "$vcomctl" --com COM40 \
    --sync "$sync_dir" >>"$log" 2>&1 &
client=$!
wait_for settings-set 180
# A Linux pseudo-terminal keeps the baud rate and stop bits but no parity (it forces 8 data bits
# and clears PARENB): the parity is seen in ser2net's answer, which vcomctl connect prints.
step 30 "bridge: SetCommState(57600 8E1) on COM40 shows on the pseudo-terminal" \
    /usr/bin/python3 "$echo_py" --termios "$bridge/serial" --expect 57600,N81 --seconds 20
grep -q 'the server took parity even' "$log" ||
    { failure="bridge: ser2net never took the even parity that COM40 set"; exit 1; }
kill "$ser2net_pid"
wait_for lines-down 60
start_ser2net
if ! wait "$client"; then
    failure="bridge: bridge_test client failed"
    exit 1
fi

serve_port=$(free_port)
printf '=== bridge: vcomctl serve COM42 %s, in the background\n' "$serve_port" >>"$log"
"$wine" "$vcomctl" serve COM42 "$serve_port" >>"$log" 2>&1 &
background+=($!)
for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $serve_port), 1).close()" \
        2>/dev/null && break
    sleep 0.2
done
/usr/bin/python3 "$echo_py" --rfc2217 "rfc2217://127.0.0.1:$serve_port" --seconds 200 \
    --ready "$bridge/sync/client-ready" >>"$log" 2>&1 &
background+=($!)
step 240 "bridge_test server (COM43, pyserial on COM42's far end)" \
    "$wine" "$programs/bridge_test.exe" server --vcomctl "$vcomctl" --com COM43 --sync "$sync_dir"

# The bridges end with their processes; the ports go with their pairs.
for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
background=()
exec {serial_fd}>&-
for port in 41 42 43 44; do
    step 60 "bridge: unplug port $port" "$wine" "$vcomctl" unplug "$port"
done
