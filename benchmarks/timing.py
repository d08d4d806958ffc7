"""Timing helpers the remote benchmarks share: a call timed many times after
a warm-up, and the percentiles of what it took."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def percentiles(samples: list[float]) -> dict[str, float]:
    ordered = sorted(samples)
    pick = lambda q: ordered[min(len(ordered) - 1, int(q * len(ordered)))]  # noqa: E731
    return {"p50_ms": pick(0.50) * 1e3, "p99_ms": pick(0.99) * 1e3,
            "mean_ms": statistics.fmean(ordered) * 1e3}


def timed(call: Callable[[], object], calls: int) -> list[float]:
    for _ in range(min(100, calls)):  # warm-up: connections, caches
        call()
    samples = []
    for _ in range(calls):
        began = time.perf_counter()
        call()
        samples.append(time.perf_counter() - began)
    return samples
