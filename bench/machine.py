"""The machine line of the benchmark reports."""

import os
import platform


def cpu_name():
    """The processor's model name where Linux tells it, else the architecture."""
    try:
        with open("/proc/cpuinfo") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or platform.machine()


def describe():
    """Processor, cores, kernel and the load average now (the machines are shared)."""
    load = ", ".join(f"{v:.1f}" for v in os.getloadavg())
    return f"{cpu_name()}, {os.cpu_count()} cores, Linux {platform.release()}, load average {load} at the end"
