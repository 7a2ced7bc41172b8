#!/usr/bin/env bash
# Installs the package into a fresh Wine prefix with its setup program, as a user would, and runs
# the Win32 test programs against it, in the order the scenario needs (before the install,
# installed, removed by the uninstaller). Everything the steps print, the driver's DbgPrint output
# included, goes to one log; on any failure the runner names the failed step and prints the log's
# tail. The prefix's server is shut down however the run ends.
#
# usage: run-wine.sh --programs DIR --work DIR [--package DIR]
#   --package  the package directory to install (default: out/package of this tree, what
#              `make package` built), for trying an image built elsewhere, a deliberately broken
#              one for instance; it must hold the setup program beside the package's files
set -uo pipefail

# Wine maps the shared user data at the fixed address Windows has it at; with address-space
# randomisation a library or the stack sometimes lands there first and a program fails to start
# ("failed to map the shared user data"). The run, and every process of it, goes without.
if [[ -z ${VCB_WINE_NO_ASLR:-} ]] && command -v setarch >/dev/null; then
    VCB_WINE_NO_ASLR=1 exec setarch "$(uname -m)" -R "$0" "$@"
fi

programs= work= package=
while (($#)); do
    case $1 in
        --programs) programs=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --package) package=$2; shift 2 ;;
        *) echo "run-wine.sh: unexpected argument '$1'" >&2; exit 2 ;;
    esac
done
[[ -n $programs && -n $work ]] || {
    echo "usage: run-wine.sh --programs DIR --work DIR [--package DIR]" >&2
    exit 2
}
[[ -n $package ]] || package=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/out/package

# Debian's wine64 package; the `wine` wrapper is only a recommendation, so call the loader itself.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [[ ! -x $wine || ! -x $wineserver ]]; then
    echo "wine stage FAILED: $wine is missing (install it with: scripts/ensure-deps.sh test, as root)"
    exit 1
fi

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
programs=$(cd "$programs" && pwd) || { echo "wine stage FAILED: no directory $programs"; exit 1; }
log=$work/wine.log
: >"$log"

export WINEPREFIX=$work/prefix
export WINEARCH=win64
# DbgPrint reaches the log as warn:debugstr lines, and the event log entries of the restore
# service as eventlog lines (Wine keeps no event log to read back); err lines say what Wine itself gave up on.
# Without a display, the desktop, tray and COM marshalling report errors that mean nothing here.
export WINEDEBUG=-all,warn+debugstr,warn+eventlog,err+all,err-winediag,err-systray,err-ole
# No Mono or Gecko prompts: nothing here needs them, and CI has no network and no display.
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
unset DISPLAY WAYLAND_DISPLAY
export HOME=${HOME:-$work}

started=$SECONDS
failure=
# Linux-side processes a step left running (the bridge's servers and echoes), ended by finish.
background=()

# The log with Wine's prefix on DbgPrint lines shortened, so that the driver's messages stand out.
readable_log() {
    sed -E 's/^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: /DbgPrint: /' "$1"
}

finish() {
    local pid
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
    # Shut down this prefix's server and with it every process of the prefix, the driver host
    # included; a process left behind would keep ctest waiting on its output.
    timeout 20 "$wineserver" -k >/dev/null 2>&1
    timeout 20 "$wineserver" -w >/dev/null 2>&1
    local elapsed=$((SECONDS - started))
    if [[ -n $failure ]]; then
        echo "--- last lines of $log:"
        readable_log "$log" | tail -n 60
        echo "---"
        # The two lines that usually say why: ours when the bus never came up, and Wine's own
        # when its Plug and Play manager gave up on the driver.
        local never_started wine_said
        never_started=$(grep -m1 -o 'the bus never started.*' "$log")
        wine_said=$(grep -m1 -E '^[0-9a-f]+:err:(plugplay|ntoskrnl)' "$log" | sed -E 's/^[0-9a-f]+:err:[a-z]+:[a-z_]+ //')
        echo "wine stage FAILED after ${elapsed} s: $failure${never_started:+ ($never_started)}"
        [[ -z $wine_said ]] || echo "Wine reported: $wine_said"
        exit 1
    fi
    grep -E '^[a-z_]+: [0-9]+ passed, [0-9]+ failed' "$log"
    echo "wine stage passed in ${elapsed} s (log: $log)"
    # The prefix is several hundred megabytes; the log is what's worth keeping.
    rm -rf "$WINEPREFIX"
    exit 0
}
trap finish EXIT
trap 'failure="interrupted"; exit 1' INT TERM

# step LIMIT DESCRIPTION COMMAND...: runs the command with its output in the log; the run fails
# if it exits non-zero or takes longer than LIMIT seconds.
step() {
    local limit=$1 description=$2
    shift 2
    printf '=== %s (at %d s)\n' "$description" $((SECONDS - started)) >>"$log"
    timeout --kill-after=5 "$limit" "$@" >>"$log" 2>&1
    local status=$?
    if ((status == 124 || status == 137)); then
        failure="$description: still running after $limit s"
        exit 1
    elif ((status != 0)); then
        failure="$description: exit code $status"
        exit 1
    fi
}

# Paths as Wine programs see them: the Unix root is drive Z:.
windows_path() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

package=$(cd "$package" 2>/dev/null && pwd) || { failure="no package directory $package (run make package)"; exit 1; }
for program in bus_test pair_test names_test line_settings_test comm_test tap_test catalog_test restore_test \
    bridge_test; do
    [[ -f $programs/$program.exe ]] || { failure="no test program $programs/$program.exe"; exit 1; }
done
for file in vcombus.sys vcombus.inf vcomport.inf vcombus.cat vcomctl.exe vcomsvc.exe vcombus-test.cer vcombus-setup.exe; do
    [[ -f $package/$file ]] || { failure="the package $package lacks $file (run make package)"; exit 1; }
done

# Before the install the programs use the package's own vcomctl; once the setup program has run,
# the installed one; after the uninstall, the package's again.
package_vcomctl=$(windows_path "$package/vcomctl.exe")
vcomctl='C:\Program Files\vcombus\vcomctl.exe'
bus_test=$programs/bus_test.exe
pair_test=$programs/pair_test.exe

# A fresh prefix. Its first boot ends with the configuration updated under a server that must go
# away before the prefix is usable: wait for it to exit. Then a server that stays up between
# programs, so that the driver host (and the driver in it) lives for the whole run as on a
# running system.
step 90 "create the Wine prefix (wineboot -i)" "$wine" wineboot -i
step 30 "wait for the first server to exit (wineserver -w)" "$wineserver" -w
step 10 "start a persistent Wine server (wineserver -p)" "$wineserver" -p
step 60 "catalog_test package" "$wine" "$programs/catalog_test.exe" package --vcomctl "$package_vcomctl"

step 60 "bus_test before_install" "$wine" "$bus_test" before_install --vcomctl "$package_vcomctl"
# The setup program straight from the package, silently: it trusts the test certificate, installs
# the driver and puts vcomctl on the PATH. The second run is an install over the first.
step 180 "vcombus-setup.exe /S" "$wine" "$package/vcombus-setup.exe" /S
step 180 "vcombus-setup.exe /S over the installed package" "$wine" "$package/vcombus-setup.exe" /S
# A fresh process, started as a user's prompt would be, finds vcomctl through the system PATH
# (in a folder without one).
cd "$work" || { failure="cd $work"; exit 1; }
step 60 "vcomctl status through the PATH (cmd /c vcomctl status)" "$wine" cmd /c vcomctl status
step 60 "bus_test setup_installed" "$wine" "$bus_test" setup_installed --vcomctl "$vcomctl"
step 120 "bus_test installed" "$wine" "$bus_test" installed --vcomctl "$vcomctl"
# Before names_test: it leaves port 9 named for the uninstall to remove, and this one pairs 9
# and unplugs every port.
step 120 "line_settings_test installed" "$wine" "$programs/line_settings_test.exe" installed --vcomctl "$vcomctl"
step 120 "names_test installed" "$wine" "$programs/names_test.exe" installed --vcomctl "$vcomctl"
step 120 "pair_test installed" "$wine" "$pair_test" installed --vcomctl "$vcomctl"
step 120 "comm_test installed" "$wine" "$programs/comm_test.exe" installed --vcomctl "$vcomctl"
step 120 "tap_test installed" "$wine" "$programs/tap_test.exe" installed --vcomctl "$vcomctl"
source "$(dirname "${BASH_SOURCE[0]}")/bridge-steps.sh"
source "$(dirname "${BASH_SOURCE[0]}")/bridge-service-steps.sh"
# The recorded configuration across a restart of the prefix: every process of it ended, the
# prefix started again, and nothing of vcomctl run before restore_test looks.
step 180 "restore_test record" "$wine" "$programs/restore_test.exe" record --vcomctl "$vcomctl"
step 30 "restart the prefix: end every process (wineserver -k)" "$wineserver" -k
step 30 "restart the prefix: wait for the server to exit (wineserver -w)" "$wineserver" -w
step 10 "restart the prefix: a persistent Wine server again (wineserver -p)" "$wineserver" -p
step 90 "restart the prefix: start it (wineboot)" "$wine" wineboot
step 120 "restore_test restored" "$wine" "$programs/restore_test.exe" restored --vcomctl "$vcomctl"
step 300 "restore_test name_taken" "$wine" "$programs/restore_test.exe" name_taken --vcomctl "$vcomctl"
# The service's event log entry for the name another device took, naming the item.
grep -q 'vcomsvc: could not restore port 9 (COM20): COM20 is already in use' "$log" ||
    { failure="the restore service logged no event for port 9's COM20, taken by another device"; exit 1; }
# The uninstaller, as the list of installed programs runs it; then what it must have removed.
step 180 "bus_test uninstall (the uninstaller)" "$wine" "$bus_test" uninstall --vcomctl "$package_vcomctl"
step 60 "names_test uninstalled" "$wine" "$programs/names_test.exe" uninstalled --vcomctl "$package_vcomctl"
