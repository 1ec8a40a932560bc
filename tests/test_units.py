import contextlib
import io
import math
import random
from fractions import Fraction

import pytest
from hypothesis import example, given, strategies as st

import pdf_module
from conftest import Field, ImageControl, module_entry


numbers = st.one_of(st.integers(-10**30, 10**30), st.fractions(max_denominator=10**6),
                    st.floats(allow_nan=False, allow_infinity=False, width=64))
# around the ints of one digit that a call may convert in C, and kinds of int it must not
edges = st.sampled_from([2**30 - 1, -(2**30 - 1), 2**30, -2**30, 2**53 // 72 + 1, True,
                         type("Millimetres", (int,), {})(7), -0.0, 1e308])


@given(numbers | edges)
def test_mm_to_pt_multiplies_before_dividing(mm):
    result = pdf_module.mm_to_pt(mm)
    assert result == mm * 72 / 25.4 and type(result) is type(mm * 72 / 25.4)


FORMAT, MM_TO_PT, SCALE = pdf_module.format_mm_value, pdf_module.mm_to_pt, pdf_module.scale_image_to_pdf


@pytest.mark.parametrize("f, args, expected", [   # the result, or the error, its text and line
    (FORMAT, (7,), "7"), (FORMAT, (-0.0,), "0"), (FORMAT, (2.999,), "3.0"), (FORMAT, (True,), "1"),
    (FORMAT, (1e20,), "100000000000000000000"), (FORMAT, (Fraction(1, 8),), "0.12"),
    (FORMAT, (math.nan,), (ValueError, "cannot convert float NaN to integer")),
    (FORMAT, (math.inf,), (OverflowError, "cannot convert float infinity")),
    (MM_TO_PT, (10**400,), (OverflowError, "int too large to convert to float")),
    (MM_TO_PT, ("10",), (TypeError, "unsupported operand type")),  # "10" * 72 is text
    (SCALE, (10, 0, 210, 297), (ZeroDivisionError, "division by zero", 209)),   # the ratio before any test
    (SCALE, (10, 10, "a", 297), (TypeError, "'>' not supported", 210)),
    (SCALE, (0, 10**400, 0, 1), (ZeroDivisionError, "division by zero", 212)),  # the width's share first
])
def test_unit_results_and_errors(f, args, expected):
    with pytest.raises(expected[0], match=f"^{expected[1]}") if isinstance(expected, tuple) else (
            contextlib.nullcontext()) as excinfo:
        assert f(*args) == expected
    if isinstance(expected, tuple) and len(expected) > 2:
        assert module_entry(excinfo) == (f"pdf_module.{f.__name__}", expected[2])


def outcome(f, *args):  # the result with its types, or the exception's type and message
    try:
        result = f(*args)
    except Exception as exc:
        return type(exc), str(exc)
    return result, [type(v) for v in result]


def reference_scale(w, h, pw, ph):
    ratio = w / h
    if w > pw or h > ph:
        if w / pw > h / ph:
            w, h = pw, pw / ratio
        else:
            h, w = ph, ph * ratio
    return round(w, 2), round(h, 2)


@given(numbers, numbers, numbers, numbers)
@example(100, 50, 210, 297)
@example(300, 100, 210, 297)
@example(100, 400, 210, 297)
@example(Fraction(1, 3), 1, 5, 5)
@example(0, 10, 0, 297)   # a page side of 0, never divided by
@example(1e-09, -5, 0, 0)   # the width's share is divided first
def test_scale_image_to_pdf_matches_the_runtime(w, h, pw, ph):
    assert outcome(pdf_module.scale_image_to_pdf, w, h, pw, ph) == outcome(reference_scale, w, h, pw, ph)


def test_rounding_and_fixed_point_text_agree_with_the_runtime_on_many_values(state):
    rng = random.Random(20261206)
    values = [k / 200 for k in range(-5000, 5000)] + [k / 1000 + 0.0005 for k in range(-3000, 3000)]
    values += [k / 20000 for k in range(-2000, 2000)] + [9.995, 2.675, 1.00005, 5e-324]
    values += [1e13 - 0.001, 9.999999999999e12]
    values += [rng.uniform(-1e13, 1e13) for _ in range(20000)]   # exact ties above, random values here
    values += [v for v in (math.ldexp(rng.random(), rng.randint(-60, 200)) for _ in range(20000)) if v < 1e15]
    for v in values:
        assert pdf_module.format_mm_value(v) == (str(int(v)) if v == int(v) else str(round(v, 2))), v
        assert pdf_module.scale_image_to_pdf(v, 1.0, 1e300, 1e300)[0] == round(v, 2), v
    preview, path = ImageControl(), Field("stamp.png")   # the handlers' :.2f and :.4f texts
    for ratio in values[::4] + [math.inf, -math.inf, math.nan, 1e300]:
        state.pdf_scale_ratio, state.shrink_scale = ratio, 1.0
        with contextlib.redirect_stdout(io.StringIO()) as out:
            pdf_module.update_image_position(Field("1.5"), Field(""), preview, path)
        x_px = 1.5 / 25.4 * 72 * ratio
        assert out.getvalue() == (
            f"[位置更新] X: 1.5mm → {x_px:.2f}px, Y: 0.0mm → {0.0 * ratio:.2f}px\n"
            f"     スケール: {ratio:.4f} × 縮小率: 1.0000 → 表示: {ratio:.4f}px/pt\n"), ratio
