"""ombrix.nist: the reader of the shipped reference problems, their models and Jacobians."""

import numpy as np
import pytest

from ombrix import nist

# name: n, m, difficulty, (y, x) of the first and last observation, start1[0], start2[-1],
# certified[0], certified_sd[-1], certified RSS -- as printed in each file.
KNOWN = {
    "BoxBOD": (6, 2, "Higher", (109, 1), (224, 10), 1, 0.75, 2.1380940889e+02, 1.0455993237e-01, 1.1680088766e+03),
    "Chwirut2": (54, 3, "Lower", (92.9, 0.5), (28.9, 1.75), 0.1, 0.010, 1.6657666537e-01, 1.5304234767e-03,
                 5.1304802941e+02),
    "DanWood": (6, 2, "Lower", (2.138, 1.309), (5.660, 1.680), 1, 4, 7.6886226176e-01, 5.1726610913e-02,
                4.3173084083e-03),
    "Gauss1": (250, 8, "Lower", (97.62227, 1.0), (4.875359, 250.0), 97.0, 20.0, 9.8778210871e+01,
               2.0134312832e-01, 1.3158222432e+03),
    "Kirby2": (151, 5, "Average", (0.0082, 9.65), (92.2, 371.30), 2, 0.00002, 1.6745063063e+00, 2.0129761919e-07,
               3.9050739624e+00),
    "Lanczos3": (24, 6, "Lower", (2.5134, 0.0), (0.0624, 1.15), 1.2, 6.3, 8.6816414977e-02, 3.4436403035e-02,
                 1.6117193594e-08),
    "MGH09": (11, 4, "Higher", (1.957e-01, 4.0), (2.46e-02, 6.25e-02), 25, 0.39, 1.9280693458e-01,
              9.0025542308e-02, 3.0750560385e-04),
    "Misra1a": (14, 2, "Lower", (10.07, 77.6), (81.78, 760.0), 500, 0.0005, 2.3894212918e+02, 7.2668688436e-06,
                1.2455138894e-01),
    "Thurber": (37, 7, "Higher", (80.574, -3.067), (1457.628, 2.2), 1000, 0.05, 1.2881396800e+03,
                6.5842344623e-03, 5.6427082397e+03),
}


def test_registry_lists_every_shipped_problem():
    assert nist.problems() == sorted(KNOWN, key=str.lower)
    with pytest.raises(KeyError, match="no NIST problem 'Rosenbrock'"):
        nist.load("Rosenbrock")


@pytest.mark.parametrize("name", sorted(KNOWN))
def test_reader_on_every_file(name):
    n, m, difficulty, first, last, s1, s2, c1, sd, rss = KNOWN[name]
    prob = nist.load(name)
    assert (prob.name, prob.n, prob.m, prob.difficulty, prob.digits, prob.dof) == (name, n, m, difficulty, 11, n - m)
    for a in (prob.x, prob.y):
        assert a.shape == (n,) and a.dtype == np.float64 and a.flags.c_contiguous
    for a in (prob.start1, prob.start2, prob.certified, prob.certified_sd):
        assert a.shape == (m,) and a.dtype == np.float64
    assert (prob.y[0], prob.x[0]) == first and (prob.y[-1], prob.x[-1]) == last
    assert (prob.start1[0], prob.start2[-1], prob.certified[0], prob.certified_sd[-1]) == (s1, s2, c1, sd)
    assert prob.certified_rss == rss
    assert prob.equation.startswith("y") and prob.equation.endswith("e")


@pytest.mark.parametrize("name", sorted(KNOWN))
def test_certified_rss_reproduced_at_certified_parameters(name):
    # The certified values carry 11 digits; rounding them moves the RSS in
    # the 11th digit at most, since the RSS is stationary at the minimum.
    prob = nist.load(name)
    assert nist.lre(prob.rss(prob.certified), prob.certified_rss) >= 10


def central_jacobian(model, b, x):
    J = np.empty((x.shape[0], b.shape[0]))
    for j in range(b.shape[0]):
        h = 1e-6 * abs(b[j])
        plus, minus = b.copy(), b.copy()
        plus[j] += h
        minus[j] -= h
        J[:, j] = (model(plus, x) - model(minus, x)) / (plus[j] - minus[j])
    return J


@pytest.mark.parametrize("point", ["start1", "start2", "certified"])
@pytest.mark.parametrize("name", sorted(KNOWN))
def test_jacobian_matches_central_differences(name, point):
    prob = nist.load(name)
    b = getattr(prob, point)
    f = prob.model(b, prob.x)
    J = prob.jacobian(b, prob.x)
    assert f.shape == (prob.n,) and f.dtype == np.float64
    assert J.shape == (prob.n, prob.m) and J.dtype == np.float64 and J.flags.c_contiguous
    # Central differences with a relative step of 1e-6 agree to about 1e-9 of
    # each column's size; a wrong derivative is off by far more.
    expected = central_jacobian(prob.model, b, prob.x)
    scale = np.abs(expected).max(axis=0)
    assert np.all(np.abs(J - expected) <= 1e-7 * scale + 1e-300)


def test_jacobian_catches_a_wrong_column():
    # The comparison above must fail for a derivative with a wrong factor.
    prob = nist.load("Gauss1")
    b = prob.start2
    J = prob.jacobian(b, prob.x)
    J[:, 4] *= 1.0 + 1e-5
    expected = central_jacobian(prob.model, b, prob.x)
    assert not np.all(np.abs(J - expected) <= 1e-7 * np.abs(expected).max(axis=0))


# ---- the reader on variants of a file ------------------------------------------------

@pytest.fixture(scope="module")
def misra_text():
    return (nist._data_dir() / "Misra1a.dat").read_text()


def with_line(text, old, new):
    assert old in text
    return text.replace(old, new, 1)


def test_reader_parses_by_labels_not_line_numbers(misra_text, tmp_path):
    # Extra header lines shift every block, blank lines sit inside the data
    # and the line endings are CRLF: the result is the same problem.
    shifted = with_line(misra_text, "Procedure:", "Note:          an extra line\n\n\nProcedure:")
    shifted = with_line(shifted, "      23.93E0     190.8E0\n", "      23.93E0     190.8E0\n\n")
    path = tmp_path / "Misra1a.dat"
    path.write_bytes(shifted.replace("\n", "\r\n").encode())
    got, ref = nist.read(path), nist.load("Misra1a")
    for field in ("x", "y", "start1", "start2", "certified", "certified_sd"):
        np.testing.assert_array_equal(getattr(got, field), getattr(ref, field))
    assert (got.name, got.certified_rss, got.digits, got.model) == ("Misra1a", ref.certified_rss, 11, ref.model)


def test_reader_swapped_columns_and_unknown_model(misra_text):
    text = with_line(misra_text, "Data:   y               x", "Data:   x               y")
    text = with_line(text, "Dataset Name:  Misra1a", "Dataset Name:  Other")
    prob = nist.parse(text)
    ref = nist.load("Misra1a")
    np.testing.assert_array_equal(prob.x, ref.y)
    assert prob.name == "Other" and prob.model is None and prob.jacobian is None


def test_reader_counts_digits_of_the_certified_values(misra_text):
    text = with_line(misra_text, "2.3894212918E+02", "2.389421E+02    ")
    assert nist.parse(text).digits == 7


@pytest.mark.parametrize("old, new, message", [
    ("      10.07E0      77.6E0\n", "      10.07E0\n", "expected 2 numbers in the data block"),
    ("      10.07E0      77.6E0\n", "", "the data block has 13 observations, the file declares 14"),
    ("  b2 =     0.0001 ", "  b3 =     0.0001 ", "not numbered b1 to b2"),
    ("  b2 =     0.0001      0.0005 ", "  b2 =     0.0001 ", "expected start 1, start 2, certified value"),
    ("Residual Sum of Squares:", "Residual Sum:", "missing Residual Sum of Squares"),
    ("Data:   y               x", "Data:   y               t", "no column 'x'"),
    ("2 Parameters (b1 and b2)", "3 Parameters (b1 to b3)", "declares 3 parameters, the file lists 2"),
])
def test_reader_rejects_inconsistent_files(misra_text, old, new, message):
    with pytest.raises(ValueError, match=message):
        nist.parse(with_line(misra_text, old, new))


def test_lre():
    cert = np.array([2.0, -4.0, 0.0, 1.0])
    got = nist.lre(np.array([2.0, -4.0004, 1e-7, np.nan]), cert, 11)
    np.testing.assert_allclose(got, [11.0, 4.0, 7.0, 0.0])
    assert nist.lre(3.0, 1.0) == 0.0            # not one correct digit
    assert isinstance(nist.lre(1.0, 1.0), float)
