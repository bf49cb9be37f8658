"""python -m ombrix: fit NIST's Misra1a problem and compare with its certified values."""

import numpy as np

from . import nist
from ._ombrix import ombrix


def main():
    prob = nist.load("Misra1a")
    names = [f"b{i + 1}" for i in range(prob.m)]
    p, pcov, info = ombrix(prob.model, prob.start1, prob.y, (prob.x,), prob.jacobian, mu=1e-3, eps1=1e-15,
                           eps2=1e-15, eps3=1e-20, maxit=1000, cdiff=False)
    initial_rss, (rss, *_), iterations, reason, model_calls, jacobian_calls, _ = info
    stddev = np.sqrt(np.diag(pcov))
    equation = prob.equation.removesuffix("e").strip().removesuffix("+").strip()  # without the error term

    print(f"{prob.name} (NIST StRD): {equation}, {prob.n} observations, "
          f"from {', '.join(f'{n} = {s:g}' for n, s in zip(names, prob.start1))}")
    print()
    print(f"{'':4}{'fitted':>18}{'std. dev.':>18}{'certified':>18}{'std. dev.':>18}")
    for i, name in enumerate(names):
        print(f"{name:4}{p[i]:18.10e}{stddev[i]:18.10e}{prob.certified[i]:18.10e}{prob.certified_sd[i]:18.10e}")
    print()
    print(f"residual sum of squares {rss:.10e} (certified {prob.certified_rss:.10e}), from {initial_rss:.4e}")
    print(f"stop reason: {reason}")
    print(f"{iterations} iterations, {model_calls} model and {jacobian_calls} Jacobian evaluations")


if __name__ == "__main__":
    main()
