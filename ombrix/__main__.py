"""python -m ombrix: fit NIST's Misra1a problem and compare with its certified values."""

import importlib.resources
import re

import numpy as np

from ._ombrix import ombrix

_PARAMETER = re.compile(r"^\s*(b\d+)\s*=((?:\s+\S+){4})\s*$")


def read_nist(text):
    """Reads a NIST StRD nonlinear regression file: returns the parameters as
    {name: (start 1, start 2, certified value, certified standard deviation)},
    the certified residual sum of squares, and the data columns y and x."""
    lines = text.splitlines()
    parameters = {}
    for line in lines:
        match = _PARAMETER.match(line)
        if match:
            parameters[match[1]] = tuple(float(v) for v in match[2].split())
    residual = float(re.search(r"Residual Sum of Squares:\s*(\S+)", text)[1])
    table = max(i for i, line in enumerate(lines) if line.startswith("Data:"))  # the last one heads the numbers
    data = np.array([[float(v) for v in line.split()] for line in lines[table + 1:] if line.strip()])
    return parameters, residual, data[:, 0], data[:, 1]


def misra1a(b, x):
    """y = b1 (1 - exp(-b2 x))"""
    return b[0] * (1.0 - np.exp(-b[1] * x))


def misra1a_jacobian(b, x):
    decay = np.exp(-b[1] * x)
    return np.stack([1.0 - decay, b[0] * x * decay], axis=1)


def main():
    text = importlib.resources.files(__package__).joinpath("data", "nist", "Misra1a.dat").read_text()
    parameters, certified_rss, y, x = read_nist(text)
    names = list(parameters)
    start = [parameters[name][0] for name in names]

    p, pcov, info = ombrix(misra1a, start, y, (x,), misra1a_jacobian, mu=1e-3, eps1=1e-15, eps2=1e-15, eps3=1e-20,
                           maxit=1000, cdiff=False)
    initial_rss, (rss, *_), iterations, reason, model_calls, jacobian_calls, _ = info
    stddev = np.sqrt(np.diag(pcov))

    print(f"Misra1a (NIST StRD): y = b1 (1 - exp(-b2 x)), {len(y)} observations, "
          f"from {', '.join(f'{n} = {s:g}' for n, s in zip(names, start))}")
    print()
    print(f"{'':4}{'fitted':>18}{'std. dev.':>18}{'certified':>18}{'std. dev.':>18}")
    for i, name in enumerate(names):
        certified, certified_stddev = parameters[name][2:]
        print(f"{name:4}{p[i]:18.10e}{stddev[i]:18.10e}{certified:18.10e}{certified_stddev:18.10e}")
    print()
    print(f"residual sum of squares {rss:.10e} (certified {certified_rss:.10e}), from {initial_rss:.4e}")
    print(f"stop reason: {reason}")
    print(f"{iterations} iterations, {model_calls} model and {jacobian_calls} Jacobian evaluations")


if __name__ == "__main__":
    main()
