"""The 18 nonlinear least-squares problems of More, Garbow and Hillstrom,
"Testing Unconstrained Optimization Software", ACM TOMS 7 (1981) 17-41.

Notation follows the paper: a problem has n variables x and m residuals
f_i(x); the objective is the plain sum of squares f(x) = sum_i f_i(x)^2
(no factor 1/2).  Each `Problem` carries the residual vector, its analytic
m x n Jacobian (row i: the gradient of f_i), the standard start x0, the
paper's minimum f* (to the digits the paper prints) and, where the paper
gives one, a minimiser.  `other_minima` lists the other local minima
(values of f) the paper reports, so that a run ending there can be named.

The sizes are those of SIZES (the usual choices for least-squares testing).

`problems()` returns them all; `Problem.start(factor)` gives factor * x0,
or the vector filled with `factor` when x0 is zero (Watson), so that the
scaled starts 10 x0 and 100 x0 differ from x0.
"""

from dataclasses import dataclass

import numpy as np

SIZES = ("linear full rank, linear rank 1, linear rank 1 with zero columns and rows: n = 5 with m = 10 and "
         "m = 50; Watson: n = 6 and n = 9 (m = 31); Box three-dimensional and Jennrich-Sampson: m = 10; "
         "Brown-Dennis: m = 20; Chebyquad: m = n = 7, 8, 9, 10; Brown almost-linear: n = 10 and 30; the others "
         "have their fixed sizes")


@dataclass(frozen=True, eq=False)
class Problem:
    name: str
    n: int                      # variables
    m: int                      # residuals
    x0: np.ndarray
    fstar: float                # known minimum of sum_i f_i^2
    residuals: object           # x -> (m,) array
    jacobian: object            # x -> (m, n) array
    minimiser: np.ndarray = None
    other_minima: tuple = ()    # f at other local minima the paper reports

    def f(self, x):
        """The sum of squares at x."""
        r = self.residuals(np.asarray(x, dtype=float))
        return float(r @ r)

    def start(self, factor=1.0):
        if factor == 1.0:
            return self.x0.copy()
        if not self.x0.any():
            return np.full(self.n, float(factor))
        return factor * self.x0


def _vector(values):
    return np.array(values, dtype=float)


# ---- linear functions (n variable, m >= n) ----

def linear_full_rank(n, m):
    def residuals(x):
        r = np.full(m, -2.0 * x.sum() / m - 1.0)
        r[:n] += x
        return r

    def jacobian(x):
        J = np.full((m, n), -2.0 / m)
        J[:n] += np.eye(n)
        return J

    return Problem(f"linear full rank n={n} m={m}", n, m, np.ones(n), float(m - n), residuals, jacobian,
                   minimiser=-np.ones(n))


def linear_rank1(n, m):
    i, j = np.arange(1, m + 1.0), np.arange(1, n + 1.0)

    def residuals(x):
        return i * (j @ x) - 1.0

    def jacobian(x):
        return np.outer(i, j)

    minimiser = np.zeros(n)
    minimiser[0] = 3.0 / (2 * m + 1)  # any x with sum_j j x_j = 3 / (2m + 1)
    return Problem(f"linear rank 1 n={n} m={m}", n, m, np.ones(n), m * (m - 1) / (2.0 * (2 * m + 1)),
                   residuals, jacobian, minimiser=minimiser)


def linear_rank1_zero(n, m):
    # rows 1 and m and columns 1 and n are zero
    i = np.concatenate(([0.0], np.arange(1, m - 1.0), [0.0]))
    j = np.concatenate(([0.0], np.arange(2, n + 0.0), [0.0]))

    def residuals(x):
        return i * (j @ x) - 1.0

    def jacobian(x):
        return np.outer(i, j)

    minimiser = np.zeros(n)
    minimiser[1] = 1.5 / (2 * m - 3)  # any x with sum_{j=2}^{n-1} j x_j = 3 / (2m - 3)
    return Problem(f"linear rank 1 zero columns and rows n={n} m={m}", n, m, np.ones(n),
                   (m * m + 3 * m - 6) / (2.0 * (2 * m - 3)), residuals, jacobian, minimiser=minimiser)


# ---- fixed-size problems ----

def rosenbrock():
    def residuals(x):
        return _vector([10 * (x[1] - x[0] ** 2), 1 - x[0]])

    def jacobian(x):
        return _vector([[-20 * x[0], 10], [-1, 0]])

    return Problem("Rosenbrock", 2, 2, _vector([-1.2, 1]), 0.0, residuals, jacobian, minimiser=_vector([1, 1]))


def _helix_angle(x1, x2):
    """theta(x1, x2) of the helical valley: atan(x2 / x1) / 2 pi, plus 1/2 for x1 < 0."""
    if x1 == 0:
        return 0.25 * np.sign(x2)
    return np.arctan(x2 / x1) / (2 * np.pi) + (0.5 if x1 < 0 else 0.0)


def helical_valley():
    def residuals(x):
        return _vector([10 * (x[2] - 10 * _helix_angle(x[0], x[1])), 10 * (np.hypot(x[0], x[1]) - 1), x[2]])

    def jacobian(x):
        rr = x[0] ** 2 + x[1] ** 2
        r = np.sqrt(rr)
        dtheta = _vector([-x[1], x[0]]) / (2 * np.pi * rr)
        return _vector([[-100 * dtheta[0], -100 * dtheta[1], 10],
                        [10 * x[0] / r, 10 * x[1] / r, 0],
                        [0, 0, 1]])

    return Problem("helical valley", 3, 3, _vector([-1, 0, 0]), 0.0, residuals, jacobian,
                   minimiser=_vector([1, 0, 0]))


def powell_singular():
    s5, s10 = np.sqrt(5.0), np.sqrt(10.0)

    def residuals(x):
        return _vector([x[0] + 10 * x[1], s5 * (x[2] - x[3]), (x[1] - 2 * x[2]) ** 2, s10 * (x[0] - x[3]) ** 2])

    def jacobian(x):
        a, b = 2 * (x[1] - 2 * x[2]), 2 * s10 * (x[0] - x[3])
        return _vector([[1, 10, 0, 0], [0, 0, s5, -s5], [0, a, -2 * a, 0], [b, 0, 0, -b]])

    return Problem("Powell singular", 4, 4, _vector([3, -1, 0, 1]), 0.0, residuals, jacobian,
                   minimiser=np.zeros(4))


def freudenstein_roth():
    def residuals(x):
        x1, x2 = x
        return _vector([-13 + x1 + ((5 - x2) * x2 - 2) * x2, -29 + x1 + ((x2 + 1) * x2 - 14) * x2])

    def jacobian(x):
        x2 = x[1]
        return _vector([[1, 10 * x2 - 3 * x2 ** 2 - 2], [1, 3 * x2 ** 2 + 2 * x2 - 14]])

    return Problem("Freudenstein-Roth", 2, 2, _vector([0.5, -2]), 0.0, residuals, jacobian,
                   minimiser=_vector([5, 4]), other_minima=(48.9842,))


BARD_Y = _vector([0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39])


def bard():
    u = np.arange(1, 16.0)
    v = 16 - u
    w = np.minimum(u, v)

    def residuals(x):
        return BARD_Y - (x[0] + u / (v * x[1] + w * x[2]))

    def jacobian(x):
        d2 = (v * x[1] + w * x[2]) ** 2
        return np.column_stack([-np.ones(15), u * v / d2, u * w / d2])

    # 17.4286 is approached as x2, x3 -> -infinity
    return Problem("Bard", 3, 15, _vector([1, 1, 1]), 8.21487e-3, residuals, jacobian, other_minima=(17.4286,))


KOWALIK_Y = _vector([0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627, 0.0456, 0.0342, 0.0323, 0.0235, 0.0246])
KOWALIK_U = _vector([4, 2, 1, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625])


def kowalik_osborne():
    u = KOWALIK_U

    def residuals(x):
        return KOWALIK_Y - x[0] * (u ** 2 + u * x[1]) / (u ** 2 + u * x[2] + x[3])

    def jacobian(x):
        num, den = u ** 2 + u * x[1], u ** 2 + u * x[2] + x[3]
        return np.column_stack([-num / den, -x[0] * u / den, x[0] * num * u / den ** 2, x[0] * num / den ** 2])

    # 1.02734e-3 is approached as x1 -> +infinity, x3, x4 -> -infinity
    return Problem("Kowalik-Osborne", 4, 11, _vector([0.25, 0.39, 0.415, 0.39]), 3.07505e-4, residuals, jacobian,
                   other_minima=(1.02734e-3,))


MEYER_Y = _vector([34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744, 8261, 7030, 6005, 5147, 4427, 3820,
                   3307, 2872])


def meyer():
    t = 45 + 5 * np.arange(1, 17.0)

    def residuals(x):
        return x[0] * np.exp(x[1] / (t + x[2])) - MEYER_Y

    def jacobian(x):
        d = t + x[2]
        e = np.exp(x[1] / d)
        return np.column_stack([e, x[0] * e / d, -x[0] * x[1] * e / d ** 2])

    return Problem("Meyer", 3, 16, _vector([0.02, 4000, 250]), 87.9458, residuals, jacobian)


WATSON_FSTAR = {6: 2.28767e-3, 9: 1.39976e-6, 12: 4.72238e-10}


def watson(n):
    t = np.arange(1, 30.0) / 29
    powers = np.vander(t, n, increasing=True)       # t^(j-1), j = 1..n
    j = np.arange(n, dtype=float)                   # j - 1
    derivative_powers = np.zeros_like(powers)       # (j-1) t^(j-2)
    derivative_powers[:, 1:] = j[1:] * powers[:, :-1]

    def residuals(x):
        s = powers @ x
        return np.concatenate((derivative_powers @ x - s ** 2 - 1, [x[0], x[1] - x[0] ** 2 - 1]))

    def jacobian(x):
        s = powers @ x
        J = np.zeros((31, n))
        J[:29] = derivative_powers - 2 * s[:, None] * powers
        J[29, 0] = 1
        J[30, :2] = -2 * x[0], 1
        return J

    return Problem(f"Watson n={n}", n, 31, np.zeros(n), WATSON_FSTAR[n], residuals, jacobian)


def box3d(m=10):
    t = 0.1 * np.arange(1, m + 1.0)
    c = np.exp(-t) - np.exp(-10 * t)

    def residuals(x):
        return np.exp(-t * x[0]) - np.exp(-t * x[1]) - x[2] * c

    def jacobian(x):
        return np.column_stack([-t * np.exp(-t * x[0]), t * np.exp(-t * x[1]), -c])

    return Problem(f"Box three-dimensional m={m}", 3, m, _vector([0, 10, 20]), 0.0, residuals, jacobian,
                   minimiser=_vector([1, 10, 1]))


def jennrich_sampson(m=10):
    i = np.arange(1, m + 1.0)

    def residuals(x):
        return 2 + 2 * i - np.exp(i * x[0]) - np.exp(i * x[1])

    def jacobian(x):
        return np.column_stack([-i * np.exp(i * x[0]), -i * np.exp(i * x[1])])

    # the paper gives f* and the minimiser for m = 10 only
    return Problem(f"Jennrich-Sampson m={m}", 2, m, _vector([0.3, 0.4]), 124.362, residuals, jacobian,
                   minimiser=_vector([0.2578, 0.2578]))


def brown_dennis(m=20):
    t = np.arange(1, m + 1.0) / 5

    def residuals(x):
        a = x[0] + t * x[1] - np.exp(t)
        b = x[2] + x[3] * np.sin(t) - np.cos(t)
        return a ** 2 + b ** 2

    def jacobian(x):
        a = x[0] + t * x[1] - np.exp(t)
        b = x[2] + x[3] * np.sin(t) - np.cos(t)
        return np.column_stack([2 * a, 2 * a * t, 2 * b, 2 * b * np.sin(t)])

    return Problem(f"Brown-Dennis m={m}", 4, m, _vector([25, 5, -5, -1]), 85822.2, residuals, jacobian)


CHEBYQUAD_FSTAR = {8: 3.51687e-3, 10: 6.50395e-3}  # zero for n = 1..7 and 9


def _shifted_chebyshev(x, degree):
    """T_i(x) and dT_i/dx for i = 1..degree, the Chebyshev polynomials shifted
    to [0, 1], by the three-term recurrence (rows: i, columns: points x)."""
    y = 2 * x - 1
    values, slopes = np.empty((degree + 1, x.size)), np.empty((degree + 1, x.size))
    values[0], slopes[0] = 1, 0
    values[1], slopes[1] = y, 2
    for k in range(1, degree):
        values[k + 1] = 2 * y * values[k] - values[k - 1]
        slopes[k + 1] = 4 * values[k] + 2 * y * slopes[k] - slopes[k - 1]
    return values[1:], slopes[1:]


def chebyquad(n, m=None):
    m = n if m is None else m
    i = np.arange(1, m + 1)
    integrals = np.zeros(m)                      # of T_i over [0, 1]: zero for odd i
    integrals[1::2] = -1.0 / (i[1::2] ** 2 - 1.0)

    def residuals(x):
        return _shifted_chebyshev(x, m)[0].mean(axis=1) - integrals

    def jacobian(x):
        return _shifted_chebyshev(x, m)[1] / n

    fstar = CHEBYQUAD_FSTAR.get(n, 0.0) if m == n else None
    return Problem(f"Chebyquad n={n} m={m}", n, m, np.arange(1, n + 1.0) / (n + 1), fstar, residuals, jacobian)


def brown_almost_linear(n):
    def residuals(x):
        r = x + x.sum() - (n + 1)
        r[-1] = np.prod(x) - 1
        return r

    def jacobian(x):
        J = np.ones((n, n)) + np.eye(n)
        # product of the others, by prefix and suffix products (x may hold zeros)
        before = np.concatenate(([1.0], np.cumprod(x[:-1])))
        after = np.concatenate((np.cumprod(x[::-1][:-1])[::-1], [1.0]))
        J[-1] = before * after
        return J

    return Problem(f"Brown almost-linear n={n}", n, n, np.full(n, 0.5), 0.0, residuals, jacobian,
                   minimiser=np.ones(n), other_minima=(1.0,))


OSBORNE1_Y = _vector([0.844, 0.908, 0.932, 0.936, 0.925, 0.908, 0.881, 0.850, 0.818, 0.784, 0.751, 0.718, 0.685,
                      0.658, 0.628, 0.603, 0.580, 0.558, 0.538, 0.522, 0.506, 0.490, 0.478, 0.467, 0.457, 0.448,
                      0.438, 0.431, 0.424, 0.420, 0.414, 0.411, 0.406])


def osborne1():
    t = 10 * np.arange(33.0)

    def residuals(x):
        return OSBORNE1_Y - (x[0] + x[1] * np.exp(-t * x[3]) + x[2] * np.exp(-t * x[4]))

    def jacobian(x):
        e4, e5 = np.exp(-t * x[3]), np.exp(-t * x[4])
        return np.column_stack([-np.ones(33), -e4, -e5, t * x[1] * e4, t * x[2] * e5])

    return Problem("Osborne 1", 5, 33, _vector([0.5, 1.5, -1, 0.01, 0.02]), 5.46489e-5, residuals, jacobian)


OSBORNE2_Y = _vector([1.366, 1.191, 1.112, 1.013, 0.991, 0.885, 0.831, 0.847, 0.786, 0.725, 0.746, 0.679, 0.608,
                      0.655, 0.616, 0.606, 0.602, 0.626, 0.651, 0.724, 0.649, 0.649, 0.694, 0.644, 0.624, 0.661,
                      0.612, 0.558, 0.533, 0.495, 0.500, 0.423, 0.395, 0.375, 0.372, 0.391, 0.396, 0.405, 0.428,
                      0.429, 0.523, 0.562, 0.607, 0.653, 0.672, 0.708, 0.633, 0.668, 0.645, 0.632, 0.591, 0.559,
                      0.597, 0.625, 0.739, 0.710, 0.729, 0.720, 0.636, 0.581, 0.428, 0.292, 0.162, 0.098, 0.054])


def osborne2():
    t = np.arange(65.0) / 10
    # the three Gaussian terms: amplitude x[k], width x[k + 4], centre x[k + 7] (0-based k = 1, 2, 3)
    terms = ((1, 5, 8), (2, 6, 9), (3, 7, 10))

    def residuals(x):
        model = x[0] * np.exp(-t * x[4])
        for amplitude, width, centre in terms:
            model = model + x[amplitude] * np.exp(-(t - x[centre]) ** 2 * x[width])
        return OSBORNE2_Y - model

    def jacobian(x):
        J = np.zeros((65, 11))
        e = np.exp(-t * x[4])
        J[:, 0], J[:, 4] = -e, t * x[0] * e
        for amplitude, width, centre in terms:
            d = t - x[centre]
            g = np.exp(-d ** 2 * x[width])
            J[:, amplitude] = -g
            J[:, width] = x[amplitude] * d ** 2 * g
            J[:, centre] = -2 * x[amplitude] * x[width] * d * g
        return J

    return Problem("Osborne 2", 11, 65, _vector([1.3, 0.65, 0.65, 0.7, 0.6, 3, 5, 7, 2, 4.5, 5.5]), 4.01377e-2,
                   residuals, jacobian)


def problems():
    """Every problem of the set, with the sizes of SIZES."""
    return [linear_full_rank(5, 10), linear_full_rank(5, 50),
            linear_rank1(5, 10), linear_rank1(5, 50),
            linear_rank1_zero(5, 10), linear_rank1_zero(5, 50),
            rosenbrock(), helical_valley(), powell_singular(), freudenstein_roth(), bard(), kowalik_osborne(),
            meyer(), watson(6), watson(9), box3d(10), jennrich_sampson(10), brown_dennis(20),
            chebyquad(7), chebyquad(8), chebyquad(9), chebyquad(10),
            brown_almost_linear(10), brown_almost_linear(30),
            osborne1(), osborne2()]
