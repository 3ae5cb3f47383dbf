#include "commands/table.h"

namespace kovra_host {

int RunInfo(const CommandLine& line, Console& console);
int RunRead(const CommandLine& line, Console& console);
int RunWrite(const CommandLine& line, Console& console);
int RunCollect(const CommandLine& line, Console& console);
int RunScan(const CommandLine& line, Console& console);
int RunSync(const CommandLine& line, Console& console);
int RunWatch(const CommandLine& line, Console& console);
int RunHistory(const CommandLine& line, Console& console);
int RunForward(const CommandLine& line, Console& console);
int RunMonitor(const CommandLine& line, Console& console);
int RunDemo(const CommandLine& line, Console& console);

namespace {

using Scope = OptionSpec::Scope;

// A command's row: its name, whether it takes the line options (it talks to
// PLCs), the options of its own, its synopsis and help, and what runs it.
constexpr CommandSpec kCommands[] = {
    {"info", false, "driver", "info",
     "Shows what the driver tells about itself (driver information, function 14): its\n"
     "name and number, the size of its context, its default line settings and its\n"
     "banner.",
     RunInfo},
    {"read", true, "format csv count", "read GATE... --port DEVICE [--count N]",
     "Parses each gate and reads it once; prints its cooked value and its raw form.\n"
     "With --count, reads N consecutive elements from each gate on, one row each.\n"
     "Reading a gate of memory type I collects that station's journals, S sets its\n"
     "clock, H serves the last-event stamps; the values these force into the log go\n"
     "to the history.",
     RunRead},
    {"write", true, "raw force", "write GATE VALUE --port DEVICE",
     "Parses the gate and writes VALUE to it, in the gate's own units (the cooking\n"
     "rule is undone), or as the raw PLC value with --raw. Digital gates take 0 or 1.\n"
     "An H gate is written to the PLC register of its number (05HA: 0x0041,\n"
     "05H0001: register 1, the clock's day and month) only with --force.",
     RunWrite},
    {"collect", true, "format csv forward", "collect STATION... --port DEVICE",
     "Collects the journal and memo files of each station (a read of gate ssI0000),\n"
     "stores every event in the history and prints them: gate, cooked value, raw\n"
     "value and PLC time. STATION is the J-bus station in hexadecimal (05, 1A).\n"
     "A record whose address has no gate in the gates file is kept raw under the\n"
     "counter gate of its address (ssCaaaa), flagged undefined, and the summary\n"
     "names the addresses to add.\n"
     "On a terminal a progress line shows files, records and records per second.",
     RunCollect},
    {"scan", true, "format csv", "scan [FIRST-LAST] --port DEVICE",
     "Finds the stations that answer on the line (a read of one word each, the\n"
     "first of the journal file table 0x0900), from FIRST to LAST in hexadecimal\n"
     "(default 01-F7), and shows the model where the file table tells it (120 words\n"
     "on a P200X, 52 on a P200) and the PLC's clock (registers 1 to 4). The driver\n"
     "tries each address four times, each try with a quarter of the reply timeout,\n"
     "so a silent address costs about one reply timeout and the gaps: with\n"
     "--timeout 100 all 247 addresses take some 30 seconds.",
     RunScan},
    {"sync", true, "", "sync STATION --port DEVICE",
     "Sets the clock of a P200X (a read of gate ssS0000) from this computer's local\n"
     "time. The station must be marked P200X in the init file (P200X = ss).",
     RunSync},
    {"watch", true, "format csv every count",
     "watch GATE... --port DEVICE --every SECONDS [--count N]",
     "Reads the gates every SECONDS and prints a line whenever a value changes\n"
     "(the first poll prints every gate). Stops after N polls with --count, else on\n"
     "Ctrl-C.",
     RunWatch},
    {"history", false, "dir state-dir history format csv gate from to limit last alerts",
     "history [--gate GATE]... [--from TIME] [--to TIME] [--limit N | --last N] [--alerts]",
     "Prints the stored history: values by PLC time (values that came without one\n"
     "by the time they were collected), or the alerts with --alerts. TIME is\n"
     "2025-05-28, 2025-05-28T13:45[:30] (local time), either followed by Z or\n"
     "+hh:mm, or @SECONDS since 1970.",
     RunHistory},
    {"forward", false, "dir state-dir history to follow every", "forward --to URI [--follow]",
     "Sends the history to the plant's central PostgreSQL database: every batch of\n"
     "events and alerts that is finished and was not sent yet, each exactly once,\n"
     "under this history's own source id. Creates kovra's tables (schema kovra)\n"
     "when the database has none. URI is a libpq connection string or URI\n"
     "(postgresql://HOST/DATABASE); the password comes from PGPASSWORD or\n"
     "~/.pgpass, never from the command line. With --follow keeps sending what\n"
     "collections in other processes store, and waits out a server that is away.\n"
     "Not available on Windows, nor in builds without libpq.",
     RunForward},
    {"monitor", false,
     "port baud data-bits parity stop-bits timeout driver format seconds save replay",
     "monitor --port DEVICE [--seconds N] [--save FILE]",
     "Listens to a line that another master polls, sending nothing: cuts what\n"
     "crosses it into frames by the J-bus lengths and the line's silence (3.5\n"
     "characters), pairs each request with its reply and prints them as --trace\n"
     "does, with the gap before each frame and the reply time. Flags CRC errors,\n"
     "exceptions, requests with no reply within --timeout (default 1000 ms),\n"
     "replies from another station and garbage between frames. Ends on Ctrl-C\n"
     "or after --seconds with each station's requests, replies, errors and reply\n"
     "times, and the line's load. --replay FILE decodes a capture that --save\n"
     "kept.",
     RunMonitor},
    {"demo", false, "driver dir log-level trace", "demo [--dir DIR]",
     "Runs everything end to end against a simulated line with two stations, a\n"
     "P200 (01) and a P200X (02), on a pseudo-terminal: driver information, cold\n"
     "start, gate parsing, reads, writes, a clock setting and two journal\n"
     "collections, the second passing only the events that are new, telling what\n"
     "happens on the way. Works in a new temporary directory unless --dir is given.",
     RunDemo},
};

constexpr OptionSpec kOptions[] = {
    {"port", "DEVICE", Scope::Line,
     "serial device of the J-bus line (/dev/ttyS0, COM1), or a device server:\n"
     "tcp://HOST:PORT (raw) or rfc2217://HOST:PORT (line set from these options)"},
    {"baud", "N", Scope::Line,
     "line speed (default: the driver's, 9600); scan: auto tries 9600, 19200,\n"
     "38400, 57600, 4800, 2400 and 1200 until a station answers"},
    {"data-bits", "N", Scope::Line, "7 or 8 (default: the driver's, 8)"},
    {"parity", "P", Scope::Line,
     "none, odd, even, mark or space (default: the driver's, none); scan with\n"
     "--baud auto: auto tries none, even, odd and none with 2 stop bits"},
    {"stop-bits", "N", Scope::Line, "1, 1.5 or 2 (default: the driver's, 1)"},
    {"timeout", "MS", Scope::Line,
     "reply timeout in milliseconds, 100 to 25000, as COMM_TIMEOUT in the init\n"
     "file sets it"},
    {"gap", "MS", Scope::Line, "silence before every request in milliseconds (inter-frame gap)"},
    {"driver", "PATH", Scope::Line,
     "driver library (default: beside this program or in its build tree)"},
    {"driver-number", "N", Scope::Line,
     "driver instance number: names KOVRAnn.INT and KOVRAnnH.DAT (default 1)"},
    {"dir", "DIR", Scope::Line,
     "working directory holding KOVRAnn.INT, KOVRAnnH.DAT and the history\n"
     "(default: the current directory; demo: a new temporary one)"},
    {"state-dir", "DIR", Scope::Line,
     "working directory when no --dir is given and the current one is read-only\n"
     "(default: $XDG_STATE_HOME/kovra or ~/.local/state/kovra); given, it is\n"
     "used whatever the current directory"},
    {"gates", "FILE", Scope::Line,
     "gates file (default: kovra-gates.txt in the working directory, if there)"},
    {"history", "FILE", Scope::Line,
     "history database (default: kovra-history.db in the working directory)"},
    {"no-history", nullptr, Scope::Line, "store nothing"},
    {"strict-gates", nullptr, Scope::Line,
     "pass over journal records whose address has no gate, as the host does\n"
     "(default: keep them under a raw counter gate, flagged undefined)"},
    {"log-level", "LEVEL", Scope::Line,
     "driver messages shown: none (0), fatal (1), error (32, default), trace (8)"},
    {"tap", "FILE", Scope::Line,
     "mirror the line's traffic, both ways, on a pseudo-terminal linked as FILE,\n"
     "for a monitor to listen on"},
    {"trace", nullptr, Scope::Line,
     "print every frame sent and received, with its time and meaning"},
    {"format", "FORMAT", Scope::Own,
     "text (an aligned table, the default), csv (the raw value a number in its\n"
     "own column) or json (one object a line); failed requests are rows with\n"
     "their error"},
    {"csv", nullptr, Scope::Own, "the same as --format csv"},
    {"raw", nullptr, Scope::Own, "VALUE is the raw PLC value (decimal or 0x hexadecimal)"},
    {"force", nullptr, Scope::Own, "write an H gate to the PLC register of its number"},
    {"every", "SECONDS", Scope::Own,
     "watch: polling period (required); forward --follow: how often the history\n"
     "is looked at (default 1)"},
    {"count", "N", Scope::Own,
     "read: N consecutive elements from each GATE, in as few block reads as\n"
     "the driver allows; watch: stop after N polls"},
    {"seconds", "N", Scope::Own, "stop listening after N seconds"},
    {"save", "FILE", Scope::Own, "keep the raw bytes with their times in FILE"},
    {"replay", "FILE", Scope::Own, "decode a capture kept with --save instead of listening"},
    {"gate", "GATE", Scope::Own, "only this gate (repeatable)"},
    {"from", "TIME", Scope::Own, "only from this time on"},
    {"to", "TIME|URI", Scope::Own,
     "history: only up to this time; forward: the central PostgreSQL database\n"
     "(required)"},
    {"follow", nullptr, Scope::Own, "keep sending new batches until interrupted"},
    {"forward", "URI", Scope::Own,
     "send each collection to this PostgreSQL database as soon as it is stored\n"
     "(see forward)"},
    {"limit", "N", Scope::Own, "at most N rows, the oldest"},
    {"last", "N", Scope::Own, "the newest N rows, oldest first"},
    {"alerts", nullptr, Scope::Own, "print the alerts instead of the values"},
    {"help", nullptr, Scope::Every, "show this help"},
    {"version", nullptr, Scope::Every, "show the program's version"},
};

} // namespace

std::span<const CommandSpec> Commands() {
    return kCommands;
}

std::span<const OptionSpec> Options() {
    return kOptions;
}

} // namespace kovra_host
