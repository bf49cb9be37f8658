"""Hypothesis strategies for the fuzz test: each draws one call of a fitting
entry point, written as a standalone Python script.

A case is source code rather than live objects so that it can cross into the
worker process that runs it, and so that a failing case reads as its own
reproducer.  Most arguments are valid; one or two, drawn first so that
shrinking drops those that do not matter, get one of their faults.  The
model or the Jacobian misbehaves from a chosen call on (the first call of the
low-level functions is their probe), so a fault can strike during the solve.
"""

from hypothesis import strategies as st

LOW_LEVEL = {
    "ombrix": (),
    "ombrix_bc": ("bc",),
    "ombrix_lec": ("lec",),
    "ombrix_blec": ("bc", "lec"),
    "ombrix_bleic": ("bc", "lec", "lic"),
    "ombrix_blic": ("bc", "lic"),
    "ombrix_leic": ("lec", "lic"),
    "ombrix_lic": ("lic",),
}
HIGH_LEVEL = ("fit", "curve_fit", "check_jacobian")
ENTRIES = tuple(LOW_LEVEL) + HIGH_LEVEL

PRELUDE = """\
import numpy as np
import ombrix
from ombrix import _ombrix


class ModelError(Exception):
    pass


RAISED = []  # what the model and the Jacobian raised on purpose
KEPT = []    # the arguments they kept


def good(p):
    q = np.asarray(p, dtype=float).ravel()
    return np.polyval(q[::-1], T) if q.size else 0.0 * T


def good_jac(p):
    return np.vander(T, np.size(p), increasing=True)
"""


class Case:
    """One call: `setup` (source lines) defines the callables, `call` is the
    expression whose outcome is checked, `after` touches what the callables
    kept.  `m` and `n` are the arguments whose sizes are the numbers of
    parameters and of data points; `valid` says that the call is well posed
    with valid arguments, so it must return a result."""

    def __init__(self, entry, setup, call, after, m, n, valid):
        self.entry, self.setup, self.call, self.after = entry, setup, call, after
        self.m, self.n, self.valid = m, n, valid

    def source(self):
        lines = [PRELUDE, *self.setup, "", f"RESULT = {self.call}"]
        if self.after:
            lines += ["", *self.after]
        return "\n".join(lines) + "\n"

    def __repr__(self):  # the failure's message holds the whole script
        return f"<a call of {self.entry}: {self.call_line()}>"

    def call_line(self):
        return self.setup[-1].split("return ", 1)[1]


# ---- argument values -------------------------------------------------------

EXTREMES = ("np.nan", "np.inf", "-np.inf", "1e300", "-1.7976931348623157e308", "5e-324")


def vector_faults(valid, length):
    """Faulty versions of the float vector `valid` (source) of `length` items."""
    v = f"np.asarray({valid}, dtype=float)"
    return st.sampled_from([
        f"{v}.astype(np.float32)", f"{v}.astype(np.int64)", f"{v}.astype(complex) + 1j", f"{v}.astype(object)",
        f"{v}.astype(bool)", f"{v}.astype(str)", f"{v}.astype('>f8')", f"{v}.tolist()", f"tuple({v})",
        f"np.broadcast_to({v}, ({length},))",            # read-only
        f"np.repeat({v}, 2)[::2]",                       # not contiguous
        f"np.frombuffer(bytearray(1) + {v}.tobytes(), offset=1)",  # unaligned
        f"{v}[:, None]", f"{v}[None, :]", f"np.asmatrix({v})", f"np.ma.masked_array({v}, mask={v} > 1)",
        "np.empty(0)", "[]", "None", "'abc'", "1.5", "np.float64(2.0)", "[[1.0, 2.0], [3.0]]", "[1.0, 'x']",
        "np.ones(3, dtype=np.float16)", f"np.append({v}, 1.0)", f"{v}[:-1]",
        *(f"np.where(np.arange({length}) == 0, {e}, {v})" for e in EXTREMES),
        "np.zeros(50_000)", "np.broadcast_to(1.0, (2**31,))",  # huge: must fail cleanly, not allocate
    ])


class Arguments:
    """Draws the arguments of one call: half the calls have none but valid
    ones, the others one or two faulty ones, named in `faulty` (drawn first so
    that shrinking drops them)."""

    def __init__(self, draw, names, faults):
        self.draw = draw
        self.faulty = draw(st.one_of(st.just([]), st.lists(st.sampled_from(names), unique=True, min_size=1,
                                                            max_size=2))) if faults else []

    def __call__(self, name, valid, faults):
        return self.draw(faults if name in self.faulty else valid)


COMMON_SCALAR_FAULTS = ["None", "'x'", "1j", "[1.0]", "np.nan", "np.inf", "-np.inf", "2**1100", "np.array([1.0, 2.0])"]
MU = (st.sampled_from(["1e-3", "1.0", "np.float32(1e-3)"]),
      st.sampled_from(["0.0", "-1.0", "1e308", "5e-324", "True", *COMMON_SCALAR_FAULTS]))
EPS = (st.sampled_from(["1e-15", "1e-20", "1e-8"]),
       st.sampled_from(["0.0", "1.0", "-1e-3", "2.0", "5e-324", "1 - 1e-16", "'1e-15'", *COMMON_SCALAR_FAULTS]))
MAXIT = (st.sampled_from(["50", "1", "3"]),
         st.sampled_from(["0", "-1", "2**31", "2**63", "2**31 - 1", "2.9", "np.int64(5)", "True", "1e10", "'5'",
                          *COMMON_SCALAR_FAULTS]))
CDIFF = (st.sampled_from(["False", "True"]), st.sampled_from(["1", "None", "'yes'", "np.array([True, False])"]))
ARGS = (st.just("()"), st.sampled_from(["(1.0,)", "[]", "None", "'ab'", "(T, T)", "{}"]))


def bounds_pairs(m):
    """`bc` of the low-level functions: one (low, high) tuple per parameter."""
    pair = st.sampled_from(["(None, None)", "(-10.0, 10.0)", "(0.0, None)", "(None, 5.0)"])
    valid = st.lists(pair, min_size=m, max_size=m).map(lambda items: "[" + ", ".join(items) + "]")
    bad_pair = st.sampled_from(["(1.0, 0.0)", "(np.nan, np.nan)", "(np.inf, -np.inf)", "(1e308, -1e308)",
                                "('a', 1.0)", "(1j, None)", "(2**1100, None)", "[0.0, 1.0]", "(0.0,)",
                                "(0.0, 1.0, 2.0)", "None", "(0.0, 0.0)", "(5e-324, 5e-324)"])
    faulty = st.tuples(valid, bad_pair, st.integers(0, max(m - 1, 0))).map(
        lambda t: f"{t[0]}[:{t[2]}] + [{t[1]}] + {t[0]}[{t[2]} + 1:]")
    other = st.sampled_from(["None", "()", "[(None, None)] * 100", "np.zeros((2, 2))", "'ab'", "{}",
                             "[(None, None)] * 2**20"])
    return valid, st.one_of(faulty, other)


def linear_pairs(m):
    """`lec` or `lic`: a pair (matrix, vector) of constraints on m parameters."""
    row = "[" + ", ".join(["1.0"] + ["0.0"] * (m - 1)) + "]" if m else "[]"
    valid = st.sampled_from([f"([{row}], [0.5])", f"({row}, 0.5)"])
    faults = st.sampled_from([
        "None", "np.zeros(2)", f"([{row}], [0.5], [1.0])", f"[{row}]", "([], [])", f"([{row}], [])",
        f"([{row}, {row}], [0.5, 1.5])",              # inconsistent
        f"([{row}, {row}], [0.5, 0.5])",              # redundant
        f"([{row}] * {max(m, 1) + 2}, [0.5] * {max(m, 1) + 2})",  # more rows than parameters
        f"(np.full((1, {m}), np.nan), [0.0])", f"(np.full((1, {m}), 1e308), [-1e308])",
        f"(np.full((1, {m}), np.inf), [np.inf])", f"([{row}], [np.nan])",
        "([[1.0, 2.0, 3.0]], [1.0])", f"(np.ones((1, {m}), dtype=complex), [1.0])", "(['a'], [1.0])",
        f"(np.zeros((1, {m})), [1.0])", f"(np.asfortranarray(np.ones((2, {m}))), [1.0, 1.0])",
        f"(np.broadcast_to(np.ones({m}), (2**20, {m})), np.zeros(2**20))",
    ])
    return valid, faults


# ---- the model and its Jacobian ---------------------------------------------

# What a misbehaving callable does from its K-th call on; `value` is its
# correct result.  The raises record what they raise in RAISED.
MISBEHAVIOURS = {
    "raises": ["RAISED.append(ModelError('from the model'))", "raise RAISED[-1]"],
    "keyboard_interrupt": ["RAISED.append(KeyboardInterrupt())", "raise RAISED[-1]"],
    "system_exit": ["RAISED.append(SystemExit(3))", "raise RAISED[-1]"],
    "generator_exit": ["RAISED.append(GeneratorExit())", "raise RAISED[-1]"],
    "list": ["return list(value)"],
    "none": ["return None"],
    "scalar": ["return 1.5"],
    "longer": ["return np.append(value, 1.0)"],
    "shorter": ["return value[:-1]"],
    "empty": ["return np.empty(0)"],
    "column": ["return value.reshape(-1, 1)"],
    "transposed": ["return value.T"],
    "complex": ["return value + 1j"],
    "int": ["return value.astype(np.int64)"],
    "float32": ["return value.astype(np.float32)"],
    "bool": ["return value > 0"],
    "str": ["return value.astype(str)"],
    "object": ["return value.astype(object)"],
    "nan": ["return value * np.nan"],
    "one_nan": ["value = value.copy()", "value.flat[0] = np.nan", "return value"],
    "inf": ["return value + np.inf"],
    "huge": ["return value * 1e300"],
    "near_max": ["return np.full(np.shape(value), 1.7e308)"],
    "tiny": ["return value * 5e-324"],
    "not_contiguous": ["return np.repeat(value, 2, axis=-1)[..., ::2]"],
    "fortran": ["return np.asfortranarray(value)"],
    "read_only": ["return np.broadcast_to(value, np.shape(value))"],
    "matrix": ["return np.asmatrix(value)"],
    "fake_array": ["return type('Fake', (), {'ndim': np.ndim(value), 'shape': np.shape(value)})()"],
    "keeps_argument": ["KEPT.append(p)", "return value"],
    "writes_argument": ["np.asarray(p)[...] = np.nan", "return value"],
    "writes_huge": ["np.asarray(p)[...] = 1e300", "return value"],
    "nested_fit": ["INNER()", "return value"],
    "recursive_fit": ["CALL()", "return value"],
}
KEEPS_AFTER = [
    "for q in KEPT:  # read and write what was kept, then allocate",
    "    if isinstance(q, np.ndarray):",
    "        q.tobytes()",
    "        if q.flags.writeable:",
    "            q[...] = 1e300",
    "BALLAST = [np.ones(i) for i in range(1, 300)]",
]

# A small fit that succeeds, run from inside a model: on its own data S.
INNER_CALLS = {
    "ombrix": "_ombrix.ombrix(lambda q: q[0] + q[1] * S, [0.0, 0.0], 1 + 2 * S, (), None, "
              "1e-3, 1e-15, 1e-15, 1e-20, 20, False)",
    "fit": "ombrix.fit(lambda q: q[0] + q[1] * S, [0.0, 0.0], 1 + 2 * S, bounds=([0, 0], [5, 5]))",
    "curve_fit": "ombrix.curve_fit(lambda t, a, b: a + b * t, S, 1 + 2 * S, p0=[0.0, 0.0])",
}


def callable_source(name, counter, signature, value_expr, behaviour, k):
    lines = [f"{counter} = [0]", "", "", f"def {name}({signature}):", f"    {counter}[0] += 1",
             f"    value = {value_expr}"]
    if behaviour != "fine":
        lines += [f"    if {counter}[0] >= {k}:"] + [f"        {line}" for line in MISBEHAVIOURS[behaviour]]
    return lines + ["    return value"]


BEHAVIOURS = ("fine", *sorted(MISBEHAVIOURS))


@st.composite
def callables(draw, behaviour, signature, params, entry):
    """Source of `model` and `jac` (one or both doing `behaviour` from a
    drawn call on), the lines to run after the call, and whether the Jacobian
    misbehaves (then the call must use it)."""
    model_do = jac_do = "fine"
    if behaviour != "fine":
        which = draw(st.sampled_from(["model", "jac", "both"]))
        model_do = behaviour if which in ("model", "both") else "fine"
        jac_do = behaviour if which in ("jac", "both") else "fine"
    k = draw(st.sampled_from([2, 3, 6, 1]))  # the first call of the low-level functions is the probe
    lines = callable_source("model", "CALLS", signature, f"good({params})", model_do, k)
    lines += [""] + callable_source("jac", "JAC_CALLS", signature, f"good_jac({params})", jac_do, k)
    after = KEEPS_AFTER if behaviour == "keeps_argument" else []
    if behaviour == "nested_fit":
        inner = INNER_CALLS.get(entry, INNER_CALLS["ombrix"])
        inner = draw(st.sampled_from([inner, INNER_CALLS["fit"]]))
        lines = [f"INNER = lambda S=np.linspace(0.0, 1.0, 8): {inner}", ""] + lines
    return lines, after, jac_do != "fine"


# ---- whole calls -------------------------------------------------------------

@st.composite
def problems(draw, faults, min_m=1):
    """m parameters, n data points (with faults, occasionally fewer than m),
    the start and the data source lines."""
    m = draw(st.integers(min_m, 4))
    n = draw(st.sampled_from([m + 4, 12, 40] + [max(m - 1, 1)] * faults))
    p0 = "[" + ", ".join(draw(st.sampled_from(["0.5", "1.0", "-2.0", "0.0"])) for _ in range(m)) + "]"
    truth = "[" + ", ".join(str(1.0 + j) for j in range(m)) + "]"
    return m, n, p0, [f"N = {n}", f"T = np.linspace(0.0, 1.0, N)"], truth


def _case(entry, setup, call, after, m, n, valid):
    # the call is wrapped in a function so that a model can make it again
    return Case(entry, setup + ["", "", f"def CALL():\n    return {call}"], "CALL()", after, m, n, valid)


# Optional arguments whose valid values are valid in any combination (diff and
# constraints, method and loss, for instance, are not).
# (curve_fit's xtol belongs to the engine, gradient_tol and chisq_tol to the
# older solvers: together they are refused.)
COMBINABLE = {"sigma", "bounds", "dtype", "damping", "scale", "absolute_sigma", "names", "args", "max_iterations",
              "step_tol", "gradient_tol", "chisq_tol", "full_output", "check_finite"}


def _valid(behaviour, pick, m, n, keywords=()):
    return behaviour == "fine" and not pick.faulty and n > m and set(keywords) <= COMBINABLE


@st.composite
def low_level_cases(draw, entry, behaviour, faults):
    constraints = LOW_LEVEL[entry]
    # one equality row leaves no parameter free when m is 1
    m, n, p0, setup, truth = draw(problems(faults, min_m=1 if faults or "lec" not in constraints else 2))
    lines, after, uses_jac = draw(callables(behaviour, "p, *rest", "p", entry))
    pick = Arguments(draw, ["func", "p", "x", *constraints, "args", "jacf", "mu", "eps1", "eps2", "eps3", "maxit",
                            "cdiff"], faults)
    arguments = {"func": pick("func", st.just("model"), st.sampled_from(["None", "5", "jac"])),
                 "p": pick("p", st.just(p0), vector_faults(p0, m)),
                 "x": pick("x", st.just(f"good({truth})"), vector_faults(f"good({truth})", n))}
    for name in constraints:
        arguments[name] = pick(name, *(bounds_pairs(m) if name == "bc" else linear_pairs(m)))
    arguments.update(args=pick("args", *ARGS), jacf=pick("jacf", st.just("jac") if uses_jac else st.sampled_from(["jac", "None"]),
                                         st.just("5")),
                     mu=pick("mu", *MU), eps1=pick("eps1", *EPS), eps2=pick("eps2", *EPS), eps3=pick("eps3", *EPS),
                     maxit=pick("maxit", *MAXIT), cdiff=pick("cdiff", *CDIFF))
    call = f"_ombrix.{entry}(" + ", ".join(f"{k}={v}" for k, v in arguments.items()) + ")"
    valid = _valid(behaviour, pick, m, n) and (m > 1 or "lec" not in constraints)
    return _case(entry, setup + lines, call, after, arguments["p"], arguments["x"], valid)


def _options(m, n):
    """The optional arguments of fit and curve_fit: (valid values, faults)."""
    return {
        "sigma": (st.sampled_from([f"np.ones({n})", f"np.eye({n})", f"np.full({n}, 0.5)"]),
                  st.sampled_from([f"np.zeros({n})", f"-np.ones({n})", f"np.full({n}, np.nan)", f"np.ones((2, {n}))",
                                   f"np.ones(({n}, {n}))", "'x'", f"np.ones({n}) * 1e-300", f"np.ones({n}) * 1e300",
                                   f"np.ones({n} + 1)", "1.0"])),
        "bounds": (st.sampled_from([f"(np.full({m}, -10.0), np.full({m}, 10.0))", "(-5.0, 5.0)", "(None, None)",
                                    f"[(-1.0, 3.0)] * {m}", "(0.0, np.inf)"]),
                   st.sampled_from(["(1.0, 0.0)", f"(np.full({m}, np.nan), 1.0)", "(np.inf, np.inf)",
                                    "(-np.inf, -np.inf)", "np.zeros((3, 3))", "'ab'", "([0.0], [1.0, 2.0, 3.0, 4.0, 5.0])",
                                    "(1e308, 1.7976931348623157e308)", "(-1.7976931348623157e308, -1e308)",
                                    "(0.0, 0.0)", "(5e-324, 5e-324)", "(1.0, 1.0)", "(None, 'x')", "(1j, 2j)"])),
        "eq": linear_pairs(m), "ineq": linear_pairs(m),
        "dtype": (st.sampled_from(["np.float32", "np.float64"]),
                  st.sampled_from(["np.int32", "complex", "'f4'", "None", "'x'", "np.float16"])),
        "diff": (st.sampled_from(["'central'", "'secant'", "'forward'"]), st.sampled_from(["'x'", "None", "1"])),
        "max_iterations": MAXIT, "damping": MU, "step_tol": EPS, "gradient_tol": EPS, "chisq_tol": EPS,
        "scale": (st.sampled_from(["False", "True"]), st.sampled_from(["np.array([1, 2])", "None"])),
        "constraints": (st.sampled_from(["'direct'", "'active-set'"]), st.sampled_from(["'x'", "1"])),
        "absolute_sigma": (st.just("True"), st.just("np.array([1, 2])")),
        "names": (st.just(f"['a'] * {m}"), st.sampled_from(["['a']", "5", "[None] * 9"])),
        "args": ARGS,
    }


def _keywords(draw, pick, options, faults):
    """Some of the optional arguments `options`, each valid unless `pick` made
    it faulty (a faulty one is always passed); without faults, only those
    valid in any combination."""
    if faults:
        chosen = set(draw(st.lists(st.sampled_from(sorted(options)), unique=True, max_size=4))) | set(pick.faulty)
    else:  # each one half the time, so that they meet in every combination
        chosen = {name for name in sorted(COMBINABLE & set(options)) if draw(st.booleans())}
    return {name: pick(name, *options[name]) for name in sorted(chosen) if name in options}


@st.composite
def fit_cases(draw, behaviour, faults):
    m, n, p0, setup, truth = draw(problems(faults))
    lines, after, uses_jac = draw(callables(behaviour, "p, *rest", "p", "fit"))
    options = _options(m, n)
    pick = Arguments(draw, ["model", "p0", "y", "jac", *options], faults)
    model = pick("model", st.just("model"), st.sampled_from(["None", "5"]))
    p = pick("p0", st.just(p0), vector_faults(p0, m))
    y = pick("y", st.just(f"good({truth})"), vector_faults(f"good({truth})", n))
    keywords = {"jac": pick("jac", st.just("jac") if uses_jac else st.sampled_from(["None", "jac"]), st.just("5")),
                **_keywords(draw, pick, options, faults)}
    call = f"ombrix.fit({model}, {p}, {y}, " + ", ".join(f"{k}={v}" for k, v in keywords.items()) + ")"
    return _case("fit", setup + lines, call, after, p, y, _valid(behaviour, pick, m, n, set(keywords) - {"jac"}))


@st.composite
def curve_fit_cases(draw, behaviour, faults):
    m, n, p0, setup, truth = draw(problems(faults))
    lines, after, uses_jac = draw(callables(behaviour, "x, *p", "p", "curve_fit"))
    options = _options(m, n)
    for name in ("names", "constraints", "absolute_sigma", "args", "max_iterations", "step_tol"):
        del options[name]
    # curve_fit takes SciPy's (lb, ub) forms only, not a pair per parameter,
    # and refuses a start outside them (every start drawn lies within these)
    options["bounds"] = (st.sampled_from([f"(np.full({m}, -10.0), np.full({m}, 10.0))", "(-5.0, 5.0)",
                                          "(-np.inf, np.inf)"]), options["bounds"][1])
    options.update(
        check_finite=(st.sampled_from(["False", "True"]), st.just("np.array([1, 2])")),
        method=(st.sampled_from(["'trf'", "'dogbox'", "None"]), st.sampled_from(["'lm'", "'x'"])),
        full_output=(st.just("True"), st.just("np.array([1, 2])")),
        nan_policy=(st.sampled_from(["'omit'", "'raise'"]), st.just("'x'")),
        maxfev=MAXIT, xtol=EPS, col_deriv=(st.just("False"), st.just("True")),
        loss=(st.just("'linear'"), st.just("'huber'")))
    pick = Arguments(draw, ["p0", "xdata", "ydata", "jac", *options], faults)
    p = pick("p0", st.just(p0), st.one_of(st.just("None"), vector_faults(p0, m)))
    xdata = pick("xdata", st.just("T"), st.one_of(vector_faults("T", n), st.just("object()")))
    y = pick("ydata", st.just(f"good({truth})"), vector_faults(f"good({truth})", n))
    jac = st.just("jac") if uses_jac else st.sampled_from(["None", "jac", "'2-point'", "'3-point'"])
    keywords = {"p0": p, "jac": pick("jac", jac, st.sampled_from(["5", "'x'"])),
                **_keywords(draw, pick, options, faults)}
    call = f"ombrix.curve_fit(model, {xdata}, {y}, " + ", ".join(f"{k}={v}" for k, v in keywords.items()) + ")"
    valid = _valid(behaviour, pick, m, n, set(keywords) - {"jac", "p0"})
    return _case("curve_fit", setup + lines, call, after, p, y, valid)


@st.composite
def check_jacobian_cases(draw, behaviour, faults):
    m, n, p0, setup, truth = draw(problems(faults))
    lines, after, _ = draw(callables(behaviour, "p, *rest", "p", "check_jacobian"))
    pick = Arguments(draw, ["callables", "p", "args"], faults)
    model, jac = pick("callables", st.just(("model", "jac")), st.sampled_from([("model", "None"), ("5", "jac")]))
    p = pick("p", st.just(p0), vector_faults(p0, m))
    call = f"ombrix.check_jacobian({model}, {jac}, {p}, args={pick('args', *ARGS)})"
    return _case("check_jacobian", setup + lines, call, after, p, "T", _valid(behaviour, pick, m, n))


def cases(entry, behaviour, faults=True):
    """Calls of `entry` whose model or Jacobian does `behaviour`; half of them
    with faulty arguments, or none with `faults` False."""
    if entry in LOW_LEVEL:
        return low_level_cases(entry, behaviour, faults)
    builder = {"fit": fit_cases, "curve_fit": curve_fit_cases, "check_jacobian": check_jacobian_cases}[entry]
    return builder(behaviour, faults)
