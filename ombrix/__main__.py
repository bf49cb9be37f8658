"""python -m ombrix: fit NIST's Misra1a reference problem, then a bounded variant of it."""

import numpy as np

from . import fit, nist


def main():
    prob = nist.load("Misra1a")
    names = [f"b{i + 1}" for i in range(prob.m)]
    equation = prob.equation.removesuffix("e").strip().removesuffix("+").strip()  # without the error term
    print(f"{prob.name}, a NIST reference problem: {equation}, {prob.n} observations, "
          f"from {', '.join(f'{n} = {s:g}' for n, s in zip(names, prob.start1))}")
    print()
    result = fit(prob.model, prob.start1, prob.y, args=(prob.x,), jac=prob.jacobian, names=names)
    print(result.report())
    print()
    print("NIST's certified values:")
    digits = nist.lre(result.p, prob.certified)
    for i, name in enumerate(names):
        print(f"{name:4}{prob.certified[i]:18.10e} ± {prob.certified_sd[i]:.10e}   fitted value agrees to "
              f"{digits[i]:.1f} digits")
    print(f"residual sum of squares {prob.certified_rss:.10e}, fitted {result.chisq:.10e}")
    print()

    print("The same fit with b2 bounded above by 5e-4 (below its unconstrained value):")
    bounded = fit(prob.model, prob.start1, prob.y, args=(prob.x,), jac=prob.jacobian, names=names,
                  bounds=([0, 0], [np.inf, 5e-4]))
    print(bounded.report())


if __name__ == "__main__":
    main()
