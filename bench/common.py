"""Small helpers shared by the benchmark parts."""
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
