"""NIST's reference problems for nonlinear least squares (StRD), with models.

The package ships nine problems of NIST's Statistical Reference Datasets in
their original file format.  Each comes with its model and analytic Jacobian
written in NumPy, so that fits can be checked against the certified values::

    from ombrix import nist
    prob = nist.load("Misra1a")
    f = prob.model(prob.start1, prob.x)        # model values, shape (n,)
    J = prob.jacobian(prob.start1, prob.x)     # shape (n, m), C order
    digits = nist.lre(fitted, prob.certified, prob.digits)

Models take the parameter vector first and the predictor second, the calling
convention of ``ombrix._ombrix.ombrix(func, p, x, args, ...)`` with
``args = (prob.x,)`` and the response ``prob.y`` as the measurements.

`parse` and `read` read any file of the format, parsing by its labels and
layout rather than by line numbers.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Callable
from dataclasses import dataclass
from importlib import resources
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Problem", "problems", "load", "read", "parse", "lre"]

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[EeDd][-+]?\d+)?"
_NUMBER_RE = re.compile(_NUMBER)
_NAME_RE = re.compile(r"^\s*Dataset Name:\s*(\S+)", re.I)
_DIFFICULTY_RE = re.compile(r"\b(Lower|Average|Higher)\s+Level\s+of\s+Difficulty", re.I)
_PARAM_COUNT_RE = re.compile(r"^\s*(?:Model:.*?)?(\d+)\s+Parameters?\b", re.I)
_MODEL_RE = re.compile(r"^\s*Model:", re.I)
_EQUATION_RE = re.compile(r"^\s*y\s*=", re.I)
_PARAM_RE = re.compile(r"^\s*b(\d+)\s*=(.*)$", re.I)
_DATA_HEADER_RE = re.compile(r"^\s*Data:\s*((?:[A-Za-z]\w*\s*)+)$", re.I)
_SCALARS = {
    "rss": re.compile(r"^\s*Residual\s+Sum\s+of\s+Squares:\s*(" + _NUMBER + r")\s*$", re.I),
    "residual_sd": re.compile(r"^\s*Residual\s+Standard\s+Deviation:\s*(" + _NUMBER + r")\s*$", re.I),
    "dof": re.compile(r"^\s*Degrees\s+of\s+Freedom:\s*(\d+)\s*$", re.I),
    "observations": re.compile(r"^\s*Number\s+of\s+Observations:\s*(\d+)\s*$", re.I),
}


def _float(token):
    return float(token.replace("D", "E").replace("d", "e"))


def _significant_digits(token):
    """Significant digits of a number as printed: '1.2881396800E+03' has 11."""
    mantissa = re.split(r"[EeDd]", token.lstrip("+-"))[0].replace(".", "")
    return len(mantissa.lstrip("0")) or 1


def _numbers(text):
    """All tokens of `text` if every one is a number, else None."""
    tokens = text.split()
    if tokens and all(_NUMBER_RE.fullmatch(t) for t in tokens):
        return tokens
    return None


@dataclass(eq=False)
class Problem:
    """One reference problem: data, starting points and certified results.

    `model(b, x)` and `jacobian(b, x)` are None for a file read with `read`
    or `parse` whose name has no model here."""

    name: str
    x: npt.NDArray[np.float64]             # predictor, shape (n,)
    y: npt.NDArray[np.float64]             # response, shape (n,)
    start1: npt.NDArray[np.float64]        # first (farther) starting point, shape (m,)
    start2: npt.NDArray[np.float64]        # second (closer) starting point
    certified: npt.NDArray[np.float64]     # certified parameter values
    certified_sd: npt.NDArray[np.float64]  # their certified standard deviations
    certified_rss: float          # certified residual sum of squares
    residual_sd: float            # certified residual standard deviation
    dof: int                      # degrees of freedom, n - m
    digits: int                   # fewest significant digits among the certified values
    difficulty: str               # "Lower", "Average" or "Higher"
    equation: str                 # the model as the file writes it
    model: Callable[[Any, Any], npt.NDArray[np.float64]] | None = None
    jacobian: Callable[[Any, Any], npt.NDArray[np.float64]] | None = None

    @property
    def n(self) -> int:
        return self.x.shape[0]

    @property
    def m(self) -> int:
        return self.certified.shape[0]

    @property
    def starts(self) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        return (self.start1, self.start2)

    def rss(self, b: npt.ArrayLike) -> float:
        """Residual sum of squares of the model at parameters `b`."""
        if self.model is None:
            raise ValueError(f"the problem {self.name!r} has no model here")
        r = self.y - self.model(np.asarray(b, dtype=np.float64), self.x)
        return float(r @ r)

    def __repr__(self) -> str:
        return f"<nist.Problem {self.name}: n={self.n}, m={self.m}, {self.difficulty} difficulty>"


def parse(text: str, name: str | None = None) -> Problem:
    """Parse the text of a StRD nonlinear-regression file into a `Problem`.

    Raises ValueError, naming the line, when a block is missing or
    inconsistent (parameter numbering, column count, observation count)."""
    lines = text.splitlines()
    found = {}
    params = {}
    equation = []
    columns = None
    rows = []
    declared_m = None
    in_model = False
    for number, line in enumerate(lines, 1):
        if columns is not None:
            if not line.strip():
                continue
            tokens = _numbers(line)
            if tokens is None or len(tokens) != len(columns):
                raise ValueError(f"line {number}: expected {len(columns)} numbers in the data block: {line.strip()!r}")
            rows.append([_float(t) for t in tokens])
            continue
        if (match := _NAME_RE.match(line)) and "name" not in found:
            found["name"] = match.group(1)
        elif (match := _DIFFICULTY_RE.search(line)) and "difficulty" not in found:
            found["difficulty"] = match.group(1).capitalize()
        elif _MODEL_RE.match(line):
            in_model = True
        elif (match := _PARAM_RE.match(line)):
            index = int(match.group(1))
            tokens = _numbers(match.group(2))
            if tokens is None or len(tokens) != 4:
                raise ValueError(f"line {number}: expected start 1, start 2, certified value and "
                                 f"standard deviation: {line.strip()!r}")
            if index in params:
                raise ValueError(f"line {number}: parameter b{index} given twice")
            params[index] = tokens
        elif (match := _DATA_HEADER_RE.match(line)):
            columns = [c.lower() for c in match.group(1).split()]
        else:
            for key, regex in _SCALARS.items():
                if (match := regex.match(line)):
                    found[key] = match.group(1)
                    break
        if in_model:
            if (match := _PARAM_COUNT_RE.match(line)) and declared_m is None:
                declared_m = int(match.group(1))
            if _EQUATION_RE.match(line) or (equation and line.strip()):
                equation.append(line.strip())
            elif equation:
                in_model = False

    missing = [label for label, key in (("Residual Sum of Squares", "rss"),
                                        ("Residual Standard Deviation", "residual_sd"),
                                        ("Degrees of Freedom", "dof"),
                                        ("Number of Observations", "observations")) if key not in found]
    if not params:
        missing.append("parameter lines (b1 = ...)")
    if columns is None:
        missing.append("data block")
    if missing:
        raise ValueError("not a StRD nonlinear-regression file: missing " + ", ".join(missing))
    m = len(params)
    if sorted(params) != list(range(1, m + 1)):
        raise ValueError(f"parameters are not numbered b1 to b{m}: found b{', b'.join(map(str, sorted(params)))}")
    if declared_m is not None and declared_m != m:
        raise ValueError(f"the model declares {declared_m} parameters, the file lists {m}")
    for col in ("x", "y"):
        if col not in columns:
            raise ValueError(f"the data block has no column {col!r} (columns: {' '.join(columns)})")
    n = int(found["observations"])
    if len(rows) != n:
        raise ValueError(f"the data block has {len(rows)} observations, the file declares {n}")
    if int(found["dof"]) != n - m:
        raise ValueError(f"degrees of freedom {found['dof']} differ from {n} observations - {m} parameters")

    data = np.array(rows, dtype=np.float64).reshape(n, len(columns))
    table = [params[i] for i in range(1, m + 1)]

    def column(k):
        return np.array([_float(row[k]) for row in table])

    certified_tokens = [row[2] for row in table] + [found["rss"]]
    return Problem(
        name=name or found.get("name", ""),
        x=np.ascontiguousarray(data[:, columns.index("x")]),
        y=np.ascontiguousarray(data[:, columns.index("y")]),
        start1=column(0), start2=column(1), certified=column(2), certified_sd=column(3),
        certified_rss=_float(found["rss"]), residual_sd=_float(found["residual_sd"]), dof=int(found["dof"]),
        digits=min(_significant_digits(t) for t in certified_tokens),
        difficulty=found.get("difficulty", ""), equation=" ".join(equation))


def read(path: str | os.PathLike[str]) -> Problem:
    """Read a StRD file; the problem gets its model when its name has one here."""
    with open(path, encoding="ascii") as f:
        prob = parse(f.read())
    return _with_model(prob)


def _with_model(prob):
    funcs = _MODELS.get(prob.name)
    if funcs is not None:
        prob.model, prob.jacobian = funcs
    return prob


def _data_dir():
    return resources.files(__package__).joinpath("data", "nist")


def problems() -> list[str]:
    """Names of the shipped problems, in alphabetical order."""
    names = {entry.name[:-4] for entry in _data_dir().iterdir() if entry.name.endswith(".dat")}
    return sorted(names & _MODELS.keys(), key=str.lower)


def load(name: str) -> Problem:
    """The shipped problem `name` (see `problems()`), with model and Jacobian."""
    if name not in _MODELS:
        raise KeyError(f"no NIST problem {name!r}; known: {', '.join(problems())}")
    prob = parse(_data_dir().joinpath(name + ".dat").read_text(encoding="ascii"), name=name)
    return _with_model(prob)


def lre(estimate: npt.ArrayLike, certified: npt.ArrayLike, digits: int = 11) -> float | npt.NDArray[np.float64]:
    """Log relative error ``-log10(|estimate - certified| / |certified|)``.

    Elementwise, capped at `digits` (an exact match has all of them) and
    floored at 0 (no correct digit, NaN included).  For a certified value of
    0 the absolute error is used."""
    estimate = np.asarray(estimate, dtype=np.float64)
    certified = np.asarray(certified, dtype=np.float64)
    error = np.abs(estimate - certified)
    scale = np.where(certified == 0, 1.0, np.abs(certified))
    with np.errstate(divide="ignore", invalid="ignore"):
        value = -np.log10(error / scale)
    value = np.where(np.isnan(value), 0.0, np.clip(value, 0.0, digits))
    return float(value) if value.ndim == 0 else value


# ---- models and analytic Jacobians ------------------------------------------------
# Each takes the parameters b (length m) and the predictor x (length n); the
# Jacobian is the n x m C-ordered array of d model / d b_j.

def _columns(*cols):
    # One (m, n) block, transposed into a C-ordered (n, m) copy: the cheapest
    # way NumPy offers to lay out a few long columns row by row.
    return np.array(cols).T.copy()


def _exp_rise(b, x):                          # Misra1a, BoxBOD: b1*(1-exp(-b2*x))
    return b[0] * (1.0 - np.exp(-b[1] * x))


def _exp_rise_jac(b, x):
    e = np.exp(-b[1] * x)
    return _columns(1.0 - e, b[0] * x * e)


def _chwirut2(b, x):                          # exp(-b1*x)/(b2+b3*x)
    return np.exp(-b[0] * x) / (b[1] + b[2] * x)


def _chwirut2_jac(b, x):
    d = 1.0 / (b[1] + b[2] * x)
    f = np.exp(-b[0] * x) * d
    g = -f * d
    return _columns(-x * f, g, x * g)


def _danwood(b, x):                           # b1*x**b2
    return b[0] * x ** b[1]


def _danwood_jac(b, x):
    power = x ** b[1]
    return _columns(power, b[0] * power * np.log(x))


def _gauss1(b, x):                            # b1*exp(-b2*x) + two Gaussian peaks
    return (b[0] * np.exp(-b[1] * x) + b[2] * np.exp(-((x - b[3]) ** 2) / b[4] ** 2)
            + b[5] * np.exp(-((x - b[6]) ** 2) / b[7] ** 2))


def _gauss1_jac(b, x):
    e = np.exp(-b[1] * x)
    u1, u2 = x - b[3], x - b[6]
    g1 = np.exp(-u1 ** 2 / b[4] ** 2)
    g2 = np.exp(-u2 ** 2 / b[7] ** 2)
    h1 = 2.0 * b[2] * g1 * u1 / b[4] ** 2
    h2 = 2.0 * b[5] * g2 * u2 / b[7] ** 2
    return _columns(e, -b[0] * x * e, g1, h1, h1 * u1 / b[4], g2, h2, h2 * u2 / b[7])


def _kirby2(b, x):                            # (b1+b2*x+b3*x**2) / (1+b4*x+b5*x**2)
    return (b[0] + x * (b[1] + x * b[2])) / (1.0 + x * (b[3] + x * b[4]))


def _kirby2_jac(b, x):
    d = 1.0 / (1.0 + x * (b[3] + x * b[4]))
    q = -(b[0] + x * (b[1] + x * b[2])) * d * d
    return _columns(d, x * d, x * x * d, x * q, x * x * q)


def _lanczos3(b, x):                          # three decaying exponentials
    return b[0] * np.exp(-b[1] * x) + b[2] * np.exp(-b[3] * x) + b[4] * np.exp(-b[5] * x)


def _lanczos3_jac(b, x):
    e1, e2, e3 = np.exp(-b[1] * x), np.exp(-b[3] * x), np.exp(-b[5] * x)
    return _columns(e1, -b[0] * x * e1, e2, -b[2] * x * e2, e3, -b[4] * x * e3)


def _mgh09(b, x):                             # b1*(x**2+x*b2) / (x**2+x*b3+b4)
    return b[0] * (x * (x + b[1])) / (x * (x + b[2]) + b[3])


def _mgh09_jac(b, x):
    d = 1.0 / (x * (x + b[2]) + b[3])
    num = x * (x + b[1])
    q = -b[0] * num * d * d
    return _columns(num * d, b[0] * x * d, x * q, q)


def _thurber(b, x):                           # cubic / cubic
    x2, x3 = x * x, x * x * x
    return (b[0] + b[1] * x + b[2] * x2 + b[3] * x3) / (1.0 + b[4] * x + b[5] * x2 + b[6] * x3)


def _thurber_jac(b, x):
    x2, x3 = x * x, x * x * x
    d = 1.0 / (1.0 + b[4] * x + b[5] * x2 + b[6] * x3)
    q = -(b[0] + b[1] * x + b[2] * x2 + b[3] * x3) * d * d
    return _columns(d, x * d, x2 * d, x3 * d, x * q, x2 * q, x3 * q)


_MODELS = {
    "BoxBOD": (_exp_rise, _exp_rise_jac),
    "Chwirut2": (_chwirut2, _chwirut2_jac),
    "DanWood": (_danwood, _danwood_jac),
    "Gauss1": (_gauss1, _gauss1_jac),
    "Kirby2": (_kirby2, _kirby2_jac),
    "Lanczos3": (_lanczos3, _lanczos3_jac),
    "MGH09": (_mgh09, _mgh09_jac),
    "Misra1a": (_exp_rise, _exp_rise_jac),
    "Thurber": (_thurber, _thurber_jac),
}
