"""Small helpers shared by the benchmark parts."""
import os
import statistics
from dataclasses import dataclass, field


@dataclass
class Figure:
    """One row of the result table: a ratio measured `len(ratios)` times."""
    name: str
    target: float
    ratios: list = field(default_factory=list)
    note: str = ""

    @property
    def median(self):
        return statistics.median(self.ratios)

    @property
    def spread(self):
        return min(self.ratios), max(self.ratios)

    @property
    def verdict(self):
        if self.target is None:
            return ""
        return "pass" if self.median <= self.target else "MISS"


def median(values):
    return statistics.median(values)


def fmt_ns(ns):
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.2f} us"
    if ns < 1e9:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def fmt_kib(kib):
    return f"{kib / 1024:.1f} MiB"


def status_kib(field):
    """A field of /proc/self/status, in KiB (VmRSS, VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak():
    """Resets the kernel's peak-RSS mark, so that the peak of the imports does
    not hide the peak of the run; False where that is not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
