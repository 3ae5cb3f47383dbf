#!/usr/bin/env bash
# End-to-end tests of the Windows product under Wine, for one architecture.
#
# A fresh Wine prefix per run; COM9 and COM10 of the prefix are linked to a
# pseudo-terminal whose master side is played natively, first by a scripted
# responder (the serial port layer alone, kovra-serialcheck.exe), then by the
# PLC simulator (KOVRA.dll loaded by the Windows test host, kovra-wintest.exe).
#
# Usage: tests/wine/run.sh ARCH [--smoke | --tables-only]
#   ARCH                win32 (the product, under the 32-bit Wine loader) or
#                       win64 (the same sources as a 64-bit test vehicle for the
#                       Win32 code paths, under the 64-bit loader)
#   --smoke             only the serial port layer, no KOVRA.dll and no simulator
#   --tables-only       only what needs no Windows program to run: KOVRA.dll's
#                       export and import tables
# The 32-bit programs run natively where the machine runs 32-bit programs,
# else through qemu-user (10 or later) as the binfmt_misc interpreter of a user
# and mount namespace of this run's own (Linux 6.7 and later), else only the
# tables are read and the rest is skipped. A line "run.sh: ARCH runs HOW" says
# which, and why.
# Environment:
#   KOVRA_WIN_BUILD     the Windows build tree (default: build/ARCH)
#   KOVRA_NATIVE_BUILD  the native build tree with kovra-plcsim and kovra-wine-responder
#                       (default: build/release)
#   KOVRA_WINE_KEEP=1   keep the work directory (prefix, logs) after the run
#   KOVRA_WINE_QEMU     set by run.sh itself for its second pass inside the
#                       namespace: the qemu-user to register there
# The last line reads "ARCH: N passed, N failed".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
arch=${1:-}
mode=${2:-full}
case $arch in
# The driver's context is the host's 2500 bytes with 32-bit pointers, more with 64-bit ones.
win32) target=i686-w64-mingw32 pe_folder=i386-windows loader=/usr/lib/wine/wine context_bytes=2500 ;;
win64) target=x86_64-w64-mingw32 pe_folder=x86_64-windows loader=/usr/lib/wine/wine64 context_bytes=2512 ;;
*)
    echo "usage: tests/wine/run.sh win32|win64 [--smoke | --tables-only]" >&2
    exit 2
    ;;
esac
build=${KOVRA_WIN_BUILD:-$root/build/$arch}
native=${KOVRA_NATIVE_BUILD:-$root/build/release}
plcsim=$native/tools/plcsim/kovra-plcsim
responder=$native/tests/wine/kovra-wine-responder
objdump=$target-objdump

for tool in "$objdump" wineserver; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is not installed" >&2; exit 2; }
done

# --- how the programs run -------------------------------------------------------
source "$here/i386.sh"
# Emulated programs are given this many times the time of native ones.
patience=1
# find_32_bit_route: leaves $why empty when 32-bit programs run natively;
# else $why says why they do not, and $qemu names the qemu-user that runs them
# in a namespace of our own, or $why goes on to say why none can.
why= qemu=
find_32_bit_route() {
    [[ -x $loader ]] || { why="the 32-bit Wine loader is not installed: package wine32:i386"; return; }
    local no_native found major probe
    no_native=$(native_32_bit_failure "$loader")
    [[ -n $no_native ]] || return 0
    why="this machine runs no 32-bit programs: $no_native"
    found=$(qemu_i386)
    [[ -z $found ]] || major=$(qemu_major "$found")
    if [[ -z $found ]]; then
        why+="; qemu-user is not installed: scripts/setup installs it"
    elif ((major == 0)); then
        why+="; $found tells no version"
    elif ((major < qemu_least_major)); then
        why+="; qemu-user $major is older than $qemu_least_major"
    elif ! probe=$(unshare --user --map-root-user --mount --fork \
        bash -c 'source "$1" && register_qemu_i386 "$2" && "$3" --version' _ "$here/i386.sh" "$found" "$loader" 2>&1); then
        why+="; no binfmt_misc of a namespace's own for qemu-user (Linux 6.7 and later): $(tail -n 1 <<<"$probe")"
    else
        qemu=$found
    fi
}

if [[ -n ${KOVRA_WINE_QEMU:-} ]]; then
    register_qemu_i386 "$KOVRA_WINE_QEMU" || { echo "run.sh: qemu-user could not be registered" >&2; exit 2; }
    patience=4
elif [[ $mode == --tables-only ]]; then
    echo "run.sh: $arch runs only its DLL tables"
elif [[ $arch == win32 ]]; then
    find_32_bit_route
    if [[ -z $why ]]; then
        echo "run.sh: $arch runs natively"
    elif [[ -n $qemu ]]; then
        echo "run.sh: $arch runs through qemu-user ($why)"
        KOVRA_WINE_QEMU=$qemu exec unshare --user --map-root-user --mount --fork "$here/run.sh" "$arch" "$mode"
    else
        echo "run.sh: $arch runs only its DLL tables, the rest skipped ($why)"
        mode=--tables-only
    fi
else
    echo "run.sh: $arch runs natively"
fi
[[ $mode == --tables-only || -x $loader ]] || { echo "run.sh: $loader is not installed" >&2; exit 2; }
# Wine's own builds of the system DLLs for this architecture.
system_dlls=$(dirname "$(ls /usr/lib/*/wine/$pe_folder/kernel32.dll 2>/dev/null | head -1)")
[[ $system_dlls != . ]] || system_dlls=
[[ -n $system_dlls ]] || { echo "run.sh: Wine's $pe_folder DLLs are not installed" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kovra-wine-$arch-XXXXXX")
export WINEPREFIX=$work/prefix
export WINEARCH=$arch
# The loader of this architecture, called by its path: Debian's wine command
# picks the 32-bit one whenever it is installed.
export WINELOADER=$loader
# Quiet but for the loader's own errors: a DLL that cannot be loaded is named.
export WINEDEBUG=-all,err+module
# No Mono or Gecko installers, no window of any kind.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

server_pid=
far_end_pid=
failures=0
passes=0
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Seconds since a now_ms stamp, to a tenth.
elapsed() {
    local ms=$(($(now_ms) - $1))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}
suite_start=$(now_ms)

stop_far_end() {
    if [[ -n $far_end_pid ]]; then
        kill "$far_end_pid" 2>/dev/null || true
        wait "$far_end_pid" 2>/dev/null || true
        far_end_pid=
    fi
}

cleanup() {
    local status=$?
    stop_far_end
    if [[ -n $server_pid ]]; then
        # Ends the server of this run's own prefix and the Wine services it started.
        wineserver -k 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [[ ${KOVRA_WINE_KEEP:-0} == 1 ]]; then
        echo "run.sh: work directory kept: $work"
    else
        rm -rf "$work"
    fi
    # A step that stopped the run counts as a failure of its own.
    ((status == 0 || failures > 0)) || failures=1
    echo "$arch: $passes passed, $failures failed"
    exit $((failures != 0))
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

pass() {
    echo "ok   $1"
    passes=$((passes + 1))
}

fail() {
    echo "FAIL $1"
    failures=$((failures + 1))
}

# stop_with LOG REASON: the run cannot go on; the log's tail says why, before
# the work directory goes.
stop_with() {
    echo "run.sh: $2; the end of its log:" >&2
    tail -n 25 "$1" | sed 's/^/    /' >&2
    exit 1
}

need() {
    [[ -f $1 ]] || { echo "run.sh: missing $1 (build the $arch preset first)" >&2; exit 2; }
    cp "$1" "$windir/"
}

# check_that DESCRIPTION ACTUAL EXPECTED
check_that() {
    if [[ $2 == "$3" ]]; then
        pass "$1"
    else
        fail "$1: got '$2', expected '$3'"
    fi
}

# --- the product's binary interface -------------------------------------------
# Read from the file alone: this part runs wherever the DLL was built.
check_tables() {
    step "KOVRA.dll ($arch): exports and imports"
    need "$build/src/KOVRA.dll"
    local table exports from_host dll found
    table=$($objdump -p "$windir/KOVRA.dll")
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | awk 'NR > 1 && NF { print $NF }')
    check_that "exactly one export, VpiMain, undecorated" "$exports" "VpiMain"
    from_host=$(awk '/DLL Name:/ { dll = $3; next } /^[[:space:]]*$/ { dll = "" } dll == "HALVOPRO.dll" && NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }' \
        <<<"$table" | sort | tr '\n' ' ')
    check_that "imports the five host functions from HALVOPRO.dll by name" "$from_host" \
        "HalvoCook HalvoGetGateIdByAddressStr HalvoPutGateVal HalvoStartAlert err "
    # libgcc and libstdc++ are linked in: every other DLL must be part of Windows.
    for dll in $(awk '/DLL Name:/ { print $3 }' <<<"$table"); do
        [[ $dll == HALVOPRO.dll ]] && continue
        found=$(find "$system_dlls" -maxdepth 1 -iname "$dll" | head -1)
        check_that "imported $dll is a system DLL" "${found:+yes}" yes
    done
}

windir=$work/kovra
mkdir -p "$windir"
if [[ $mode == --tables-only ]]; then
    check_tables
    exit 0
fi

# --- the prefix ---------------------------------------------------------------
step "Wine prefix ($arch)"
t=$(now_ms)
timeout $((120 * patience)) "$loader" wineboot --init >"$work/wineboot.log" 2>&1 ||
    stop_with "$work/wineboot.log" "the prefix could not be made"
wineserver -w
# Our own server, in the foreground so that its id is ours to stop. It opens
# the COM port device itself and so receives the hangup of every
# pseudo-terminal that closes; its reaction goes to a log, not to the test output.
wineserver -f -p >"$work/wineserver.log" 2>&1 &
server_pid=$!
echo "prefix ready in $(elapsed "$t") s"

com9=$WINEPREFIX/dosdevices/com9
com10=$WINEPREFIX/dosdevices/com10
# The programs and the driver's files lie inside the prefix, on drive C:.
windir=$WINEPREFIX/drive_c/kovra
mkdir -p "$windir"

# Waits until the far end has linked COM9 to its pseudo-terminal.
await_com9() {
    for _ in $(seq 100); do
        [[ -L $com9 ]] && return 0
        kill -0 "$far_end_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "run.sh: the far end did not link COM9" >&2
    return 1
}

# run_windows NAME FOLDER PROGRAM ARGS...: runs a Windows program with FOLDER
# as its current directory.
run_windows() {
    local name=$1 folder=$2
    shift 2
    local t
    t=$(now_ms)
    mkdir -p "$folder"
    local status=0
    (cd "$folder" && timeout $((120 * patience)) "$loader" "$@") >"$work/$name.log" 2>&1 || status=$?
    if ((status == 0)); then
        # The test programs report checks of their own; kovra-host none.
        local checks
        checks=$(grep -c '^ok ' "$work/$name.log" || true)
        pass "$name ($(elapsed "$t") s$( ((checks == 0)) || echo ", $checks checks"))"
    else
        fail "$name ($(elapsed "$t") s, exit status $status); the end of its output:"
        tail -n 40 "$work/$name.log" | sed 's/^/    /'
    fi
}

# --- the serial port layer against a scripted far end ------------------------
step "Win32 serial port layer (kovra-serialcheck.exe)"
need "$build/tools/wintest/kovra-serialcheck.exe"
[[ -x $responder ]] || { echo "run.sh: missing $responder (build the native tree)" >&2; exit 2; }
"$responder" "$com9" 120 >"$work/responder.log" 2>&1 &
far_end_pid=$!
await_com9
ln -sfn "$(readlink "$com9")" "$com10"
run_windows serialcheck "$windir" "$windir/kovra-serialcheck.exe"
stop_far_end

rm -f "$com10"
[[ $mode == --smoke ]] && exit 0

check_tables
need "$build/halvopro/HALVOPRO.dll"
need "$build/tools/wintest/kovra-wintest.exe"

# --- the driver without a PLC ---------------------------------------------------
# Each scenario runs in a folder of its own, which is not the program's: the
# driver's files must follow the current directory.
step "KOVRA.dll without a PLC (kovra-wintest.exe)"
for scenario in info noport badport nul; do
    run_windows "wintest-$scenario" "$windir/$scenario" "$windir/kovra-wintest.exe" "$scenario"
done
check_that "the last-event file seen from Linux: 1536 zero bytes" \
    "$(tr -d '\0' <"$windir/nul/KOVRA01H.DAT" | wc -c) $(stat -c %s "$windir/nul/KOVRA01H.DAT")" "0 1536"

# --- the driver against the PLC simulator ---------------------------------------
[[ -x $plcsim ]] || { echo "run.sh: missing $plcsim (build the native kovra-plcsim)" >&2; exit 2; }

# start_simulator NAME CONFIG: a fresh simulator on a new pseudo-terminal,
# linked as COM9; every frame it sees goes to $work/NAME.wire.
start_simulator() {
    local name=$1 config=$2 slave=
    "$plcsim" --config "$config" --verbose >"$work/$name.sim" 2>"$work/$name.wire" &
    far_end_pid=$!
    for _ in $(seq 100); do
        slave=$(head -n 1 "$work/$name.sim")
        [[ -n $slave ]] && break
        kill -0 "$far_end_pid" 2>/dev/null || break
        sleep 0.05
    done
    [[ -n $slave ]] || stop_with "$work/$name.wire" "the simulator did not start"
    ln -sfn "$slave" "$com9"
}

stop_simulator() {
    stop_far_end
    rm -f "$com9"
}

# on_wire NAME DESCRIPTION FRAME: the simulator received FRAME (hex, without
# its CRC) with a good CRC.
on_wire() {
    if grep -q "^<- $3 " "$work/$1.wire"; then
        pass "on the wire: $2"
    else
        fail "on the wire: $2 ($3 not received)"
    fi
}

step "KOVRA.dll on COM9 with the PLC simulator (kovra-wintest.exe)"
for scenario in plc faults rtscts; do
    start_simulator "$scenario" "$here/plc.conf"
    run_windows "wintest-$scenario" "$windir/$scenario" "$windir/kovra-wintest.exe" "$scenario"
    stop_simulator
done
on_wire plc "a word read is function 3 for one register" "01 03 00 10 00 01"
on_wire plc "a counter read takes two registers" "01 03 00 40 00 02"
on_wire plc "a float block read of two takes four registers" "05 03 00 20 00 04"
on_wire plc "a word write is function 6" "01 06 00 50 BE EF"
on_wire plc "a bit write is function 5 with FF00" "01 05 00 50 FF 00"
on_wire plc "an H gate write is function 6 to its letter's code" "01 06 00 41 00 42"
on_wire plc "the block write is function 16 with the bytes as given" "01 10 00 60 00 04 08 12 34 56 78 9A BC DE F0"
on_wire plc "the clock is written with function 16 to registers 1 to 4" "05 10 00 01 00 04 08"

# --- kovra-host.exe, the command-line host ----------------------------------------
step "kovra-host.exe: the driver's information, and a read on COM9 from the PLC simulator"
need "$build/tools/kovra-host/kovra-host.exe"
run_windows host-info "$windir/host" "$windir/kovra-host.exe" info
start_simulator host "$here/plc.conf"
run_windows host-read "$windir/host" "$windir/kovra-host.exe" read 0130010 --count 3 --csv --port COM9
stop_simulator
check_that "kovra-host.exe info: the driver, and the size of its context in this build" \
    "$(tr -d '\r' <"$work/host-info.log" | grep -E '^(Driver|Context) ')" \
    "Driver        Perax P200 (id 70)
Context       $context_bytes bytes"
check_that "kovra-host.exe read: three words, in the simulator's order" \
    "$(tr -d '\r' <"$work/host-read.log" | grep '^0130')" \
    "0130010,4660,4660,
0130011,43981,43981,
0130012,8,8,"
on_wire host "kovra-host.exe reads the three words in one request" "01 03 00 10 00 03"

# The journal scenario leaves its last-event file for the restart, which
# runs in the same folder against PLCs that moved on in the meantime.
for scenario in journal restart; do
    config=$here/journal.conf
    [[ $scenario == restart ]] && config=$here/journal-restart.conf
    start_simulator "$scenario" "$config"
    run_windows "wintest-$scenario" "$windir/journal" "$windir/kovra-wintest.exe" "$scenario"
    stop_simulator
done
on_wire journal "collection selects the journal of station 1" "01 06 01 00 00 01"
on_wire journal "and its memo file 0x0123" "01 06 01 00 01 23"
on_wire journal "the P200X's clock is set before its collection" "05 10 00 01 00 04 08"
check_that "the last-event file seen from Linux: 4 entries after the restart" \
    "$(stat -c %s "$windir/journal/KOVRA01H.DAT")" $((1536 + 4 * 15))

step "done in $(elapsed "$suite_start") s"
