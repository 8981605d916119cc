#pragma once
// The text of --help; docs/cli.md and the manual page say the same.

namespace cli {

inline constexpr const char *HelpText = R"(Usage: tarvolin-cli [OPTIONS] COMMAND [ARGUMENTS]

Drives the moisture meter over Bluetooth LE without the window.

Commands:
  scan [--json]        list the devices seen during one scan: name, address and
                       signal strength; the meter is marked *; --json prints
                       a JSON array (name, address, rssi or null, meter)
  read [-o FILE]       print the meter's parameter block as JSON (to FILE with -o)
  write FILE           apply the fields FILE names to the meter's block, write it,
                       read it back and print what changed
  live [-o FILE] [--utf8]
                       take the meter's current measurement: the caption line
                       and one record line of the download's CSV (a workbook
                       for -o FILE.xlsx)
  download [--from A] [--to B] [-o FILE] [--utf8]
                       download the stored measurements A..B (default: 1 to
                       the usage count) as CSV, the format of "Save": UTF-16 LE,
                       the regional list separator; --utf8 writes UTF-8 with
                       a byte-order mark; -o FILE.xlsx writes an Excel
                       workbook, numbers as number cells
  upload FILE.HEX [--yes]
                       send firmware from an Intel HEX (INHX32) file; asks
                       "Data file: <path>" on the terminal unless --yes

Options:
  --link vlink:HOST:PORT[,...]   simulated meters over the virtual link
                                 (default: TARVOLIN_LINK, else the machine's
                                 Bluetooth LE stack)
  --config FILE        the measurement layout (default: ZEVQ-BLE.INI beside
                       the tool); input files must be regular files
  --trace FILE         write a protocol trace to FILE
  --scan-seconds N     how long to look for the meter (default 12)
  --address ADDR       connect only to the meter at ADDR, as scan prints it
                       (default: TARVOLIN_ADDRESS, else the first meter seen)
  -o, --output FILE    where a command writes its result (default or "-":
                       stdout); a file is written completely or not at
                       all, a device or a pipe as a stream; a name ending
                       in .xlsx gets live and download a workbook
  --from A, --to B     the records download fetches (1..65535)
  --utf8               live and download write their CSV as UTF-8 with a
                       byte-order mark
  --yes                upload sends without asking
  --other-meter        write writes a file that names another meter's serial
                       number (else it refuses with exit code 6)
  -h, --help           this text
  --version            the tool's version and the Qt it runs on

Exit codes:
  0    done
  1    bad usage or bad input file
  2    no Bluetooth LE adapter
  3    meter not found or connection failure
  4    connection lost or transmission error
  5    read-back differs
  6    the file belongs to another meter; nothing was written
  7    the result could not be written (-o or stdout; also a table too
       large for a workbook)
  130  interrupted (Ctrl+C); a connected meter is told the session ends

Messages go to stderr, results to stdout.
)";

} // namespace cli
