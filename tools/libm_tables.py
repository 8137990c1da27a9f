"""Reads the constants and tables of the C library's exp, log and pow out of a libm binary.

Usage: python3 tools/libm_tables.py [LIBM] > data/libm_tables.csv

The vector exp, log and pow must use exactly the doubles the C library's builds use. They are
read from the binary itself: the debug symbols (Debian's libc6-dbg, found by the binary's GNU
build-id under /usr/lib/debug/.build-id) give the addresses of __exp_data, __log_data and
__pow_log_data, and the layouts below are those of glibc 2.43's math_config.h. The output lists
every value as its 64 bits in hexadecimal.

The values are Arm's: glibc's e_exp_data.c, e_log_data.c and e_pow_log_data.c are Arm Optimized
Routines' math/exp_data.c, log_data.c and pow_log_data.c (Copyright (c) 2018-2023, Arm Limited),
used under the MIT licence; NOTICE records the verification against them.
"""

import struct
import subprocess
import sys
from pathlib import Path

# (field, offset in bytes, count, stride in bytes) per structure.
LAYOUTS = {
    "__exp_data": [
        ("exp.invln2n", 0x00, 1, 8), ("exp.negln2hin", 0x08, 1, 8), ("exp.negln2lon", 0x10, 1, 8),
        ("exp.poly", 0x18, 4, 8), ("exp.shift", 0x38, 1, 8), ("exp.tab", 0xB0, 256, 8),
    ],
    "__log_data": [
        ("log.ln2hi", 0x00, 1, 8), ("log.ln2lo", 0x08, 1, 8), ("log.poly", 0x10, 5, 8),
        ("log.poly1", 0x38, 11, 8), ("log.invc", 0x90, 128, 16), ("log.logc", 0x98, 128, 16),
    ],
    "__pow_log_data": [
        ("pow.ln2hi", 0x00, 1, 8), ("pow.ln2lo", 0x08, 1, 8), ("pow.poly", 0x10, 7, 8),
        ("pow.invc", 0x48, 128, 32), ("pow.logc", 0x58, 128, 32), ("pow.logctail", 0x60, 128, 32),
    ],
}


def run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def build_id(path: Path) -> str:
    for line in run("readelf", "-n", str(path)).splitlines():
        if "Build ID:" in line:
            return line.split()[-1]
    raise SystemExit(f"{path}: no GNU build-id note")


def symbol_addresses(debug_file: Path) -> dict[str, int]:
    addresses = {}
    for line in run("nm", str(debug_file)).splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] in LAYOUTS:
            addresses[parts[2]] = int(parts[0], 16)
    missing = set(LAYOUTS) - set(addresses)
    if missing:
        raise SystemExit(f"{debug_file}: no symbol {', '.join(sorted(missing))}")
    return addresses


def file_offset(segments: list[tuple[int, int, int]], address: int) -> int:
    for vaddr, offset, size in segments:
        if vaddr <= address < vaddr + size:
            return address - vaddr + offset
    raise SystemExit(f"address {address:#x} is in no loaded segment")


def load_segments(path: Path) -> list[tuple[int, int, int]]:
    segments = []
    for line in run("readelf", "-lW", str(path)).splitlines():
        parts = line.split()
        if parts and parts[0] == "LOAD":
            segments.append((int(parts[2], 16), int(parts[1], 16), int(parts[4], 16)))
    return segments


def main() -> None:
    libm = Path(sys.argv[1] if len(sys.argv) > 1 else "/usr/lib/x86_64-linux-gnu/libm.so.6").resolve()
    bid = build_id(libm)
    debug_file = Path("/usr/lib/debug/.build-id") / bid[:2] / f"{bid[2:]}.debug"
    if not debug_file.exists():
        raise SystemExit(f"{debug_file} is missing: install the C library's debug symbols (libc6-dbg)")
    addresses = symbol_addresses(debug_file)
    segments = load_segments(libm)
    image = libm.read_bytes()
    print(f"# Constants and tables of the C library's double exp, log and pow, read by tools/libm_tables.py")
    print(f"# from {libm.name} with GNU build-id {bid}; each value is its 64 bits in hexadecimal.")
    print("# The values are Arm Optimized Routines' math/exp_data.c, log_data.c and pow_log_data.c")
    print("# (glibc's e_exp_data.c, e_log_data.c, e_pow_log_data.c), Copyright (c) 2018-2023, Arm Limited,")
    print("# used under the MIT licence: see NOTICE.")
    print("name,index,bits")
    for symbol, fields in LAYOUTS.items():
        base = file_offset(segments, addresses[symbol])
        for name, offset, count, stride in fields:
            for i in range(count):
                (bits,) = struct.unpack_from("<Q", image, base + offset + i * stride)
                print(f"{name},{i},{bits:#018x}")


if __name__ == "__main__":
    main()
