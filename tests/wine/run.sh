#!/usr/bin/env bash
# End-to-end tests of the Windows product under Wine.
#
# A fresh Wine prefix per run; COM9 of the prefix is linked to a
# pseudo-terminal whose master side is played natively, first by a scripted
# responder (the serial port layer alone, kovra-serialcheck.exe), then by the
# PLC simulator (KOVRA.dll loaded by the Windows test host, kovra-wintest.exe).
#
# Usage: tests/wine/run.sh [--smoke]
#   --smoke             only the serial port layer, no KOVRA.dll and no simulator
# Environment:
#   KOVRA_WIN32_BUILD   the win32 build tree (default: build/win32)
#   KOVRA_NATIVE_BUILD  the native build tree with kovra-plcsim and kovra-wine-responder
#                       (default: build/release)
#   KOVRA_WINE_KEEP=1   keep the work directory (prefix, logs) after the run
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${KOVRA_WIN32_BUILD:-$root/build/win32}
native=${KOVRA_NATIVE_BUILD:-$root/build/release}
plcsim=$native/tools/plcsim/kovra-plcsim
responder=$native/tests/wine/kovra-wine-responder
smoke_only=0
[[ ${1:-} == --smoke ]] && smoke_only=1

for tool in wine wineboot wineserver i686-w64-mingw32-objdump; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kovra-wine-XXXXXX")
export WINEPREFIX=$work/prefix
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko installers, no window of any kind.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

server_pid=
far_end_pid=
failures=0
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
    stop_far_end
    if [[ -n $server_pid ]]; then
        # Ends the server of this run's own prefix and the Wine services it started.
        wineserver -k 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [[ ${KOVRA_WINE_KEEP:-0} == 1 || $failures -ne 0 ]]; then
        echo "run.sh: work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

# --- the prefix ---------------------------------------------------------------
step "Wine prefix"
t=$(now_ms)
wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w
# Our own server, in the foreground so that its id is ours to stop. It opens
# the COM port device itself and so receives the hangup of every
# pseudo-terminal that closes; its reaction goes to a log, not to the test output.
wineserver -f -p >"$work/wineserver.log" 2>&1 &
server_pid=$!
echo "prefix ready in $(elapsed "$t") s"

com9=$WINEPREFIX/dosdevices/com9
windir=$WINEPREFIX/drive_c/kovra
mkdir -p "$windir"

need() {
    [[ -f $1 ]] || { echo "run.sh: missing $1 (build the win32 preset first)" >&2; exit 2; }
    cp "$1" "$windir/"
}

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
    if (cd "$folder" && timeout 300 wine "$@") >"$work/$name.log" 2>&1; then
        echo "PASS $name ($(elapsed "$t") s, $(grep -c '^ok ' "$work/$name.log") checks)"
    else
        echo "FAIL $name ($(elapsed "$t") s); its output:"
        sed 's/^/    /' "$work/$name.log"
        failures=$((failures + 1))
    fi
}

# --- the serial port layer against a scripted far end ------------------------
step "Win32 serial port layer (kovra-serialcheck.exe)"
need "$build/tools/wintest/kovra-serialcheck.exe"
[[ -x $responder ]] || { echo "run.sh: missing $responder (build the native tree)" >&2; exit 2; }
"$responder" "$com9" 120 >"$work/responder.log" 2>&1 &
far_end_pid=$!
await_com9
run_windows serialcheck "$windir" "$windir/kovra-serialcheck.exe"
stop_far_end

if [[ $smoke_only == 1 ]]; then
    step "done in $(elapsed "$suite_start") s, $failures failure(s)"
    exit $((failures != 0))
fi

# --- the product's binary interface -------------------------------------------
step "KOVRA.dll: exports and imports"
need "$build/src/KOVRA.dll"
need "$build/halvopro/HALVOPRO.dll"
need "$build/tools/wintest/kovra-wintest.exe"

# check_that DESCRIPTION ACTUAL EXPECTED
check_that() {
    if [[ $2 == "$3" ]]; then
        echo "ok   $1"
    else
        echo "FAIL $1: got '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}

table=$(i686-w64-mingw32-objdump -p "$windir/KOVRA.dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | awk 'NR > 1 && NF { print $NF }')
check_that "exactly one export, VpiMain, undecorated" "$exports" "VpiMain"
from_host=$(awk '/DLL Name:/ { dll = $3; next } /^[[:space:]]*$/ { dll = "" } dll == "HALVOPRO.dll" && NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }' \
    <<<"$table" | sort | tr '\n' ' ')
check_that "imports the five host functions from HALVOPRO.dll by name" "$from_host" \
    "HalvoCook HalvoGetGateIdByAddressStr HalvoPutGateVal HalvoStartAlert err "
# libgcc and libstdc++ are linked in: every other DLL must be part of Windows.
for dll in $(awk '/DLL Name:/ { print $3 }' <<<"$table"); do
    [[ $dll == HALVOPRO.dll ]] && continue
    found=$(find "$WINEPREFIX/drive_c/windows/system32" -maxdepth 1 -iname "$dll" | head -1)
    check_that "imported $dll is a system DLL" "${found:+yes}" yes
done

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
    if [[ -z $slave ]]; then
        echo "run.sh: the simulator did not start:" >&2
        cat "$work/$name.wire" >&2
        return 1
    fi
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
        echo "ok   on the wire: $2"
    else
        echo "FAIL on the wire: $2 ($3 not received)"
        failures=$((failures + 1))
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

step "done in $(elapsed "$suite_start") s, $failures failure(s)"
exit $((failures != 0))
