# Bridges recorded and run by the restore service, sourced by run-wine.sh after bridge-steps.sh
# (it uses step, windows_path, free_port, $wine, $vcomctl, $programs, $work, $log and background).
# restore_test's phase "bridges" records a connect to a ser2net of its own here and a served port;
# it signals through files in the sync directory when the pyserial clients are to run.

svc=$work/bridge-service
mkdir -p "$svc/sync"
svc_sync=$(windows_path "$svc/sync")
svc_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
svc_pids=()

# svc_wait FILE SECONDS: restore_test's signal, or the run fails.
svc_wait() {
    local waited=0
    while [[ ! -e $svc/sync/$1 ]]; do
        if ((waited >= $2 * 10)) || ! kill -0 "$svc_test" 2>/dev/null; then
            failure="bridge service: restore_test bridges never signalled $1"
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

socat pty,raw,echo=0,link="$svc/serial" pty,raw,echo=0,link="$svc/far" >>"$log" 2>&1 &
svc_pids+=($!)
for _ in $(seq 50); do [[ -e $svc/serial && -e $svc/far ]] && break; sleep 0.1; done
exec {svc_serial_fd}<>"$svc/serial"
/usr/bin/python3 "$svc_here/bridge_echo.py" --pty "$svc/far" >>"$log" 2>&1 &
svc_pids+=($!)
svc_ser2net_port=$(free_port)
cat >"$svc/ser2net.yaml" <<EOT
connection: &service_bridge
  accepter: telnet(rfc2217),tcp,127.0.0.1,$svc_ser2net_port
  connector: serialdev,$svc/serial,9600n81,local
EOT
ser2net -n -d -c "$svc/ser2net.yaml" >>"$log" 2>&1 &
svc_pids+=($!)
background+=("${svc_pids[@]}")
echo "$svc_ser2net_port" >"$svc/sync/ser2net-port"
svc_serve_port=$(free_port)
echo "$svc_serve_port" >"$svc/sync/serve-port"

printf '=== bridge service: restore_test bridges, in the background (at %d s)\n' $((SECONDS - started)) >>"$log"
timeout --kill-after=5 300 "$wine" "$programs/restore_test.exe" bridges --vcomctl "$vcomctl" --sync "$svc_sync" \
    >>"$log" 2>&1 &
svc_test=$!
svc_wait share-ready 200
step 90 "bridge service: two pyserial clients on the shared COM52" \
    /usr/bin/python3 "$svc_here/bridge_clients.py" --share "rfc2217://127.0.0.1:$svc_serve_port"
touch "$svc/sync/share-done"
svc_wait single-ready 60
step 90 "bridge service: an unshared COM52 refuses a second client" \
    /usr/bin/python3 "$svc_here/bridge_clients.py" "rfc2217://127.0.0.1:$svc_serve_port"
touch "$svc/sync/single-done"
if ! wait "$svc_test"; then
    failure="bridge service: restore_test bridges failed"
    exit 1
fi
for pid in "${svc_pids[@]}"; do kill "$pid" 2>/dev/null; done
exec {svc_serial_fd}>&-
