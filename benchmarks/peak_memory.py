"""The peak resident set of this process (Linux), for the benchmarks'
child processes: reset it to the present resident size, read it later."""

from __future__ import annotations


def peak_bytes() -> int:
    """The process's peak resident set (VmHWM) in bytes."""
    with open("/proc/self/status") as fh:
        return int(next(line for line in fh if line.startswith("VmHWM")).split()[1]) * 1024


def reset_peak() -> int:
    """Resets the peak to the present resident size and returns it in bytes."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    return peak_bytes()
