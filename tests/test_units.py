import contextlib
import io
import math
import random
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

import pdf_module
from conftest import Field, ImageControl, allocated_blocks_stay_flat, module_entry

numbers = st.one_of(
    st.integers(-10**30, 10**30),
    st.floats(allow_nan=False, allow_infinity=False, width=64),
    st.fractions(max_denominator=10**6),
)


class Millimetres(int):
    pass


# around the ints of one digit that a call may convert in C, and kinds of int it must not
@pytest.mark.parametrize("mm", [25.4, 2**30 - 1, -(2**30 - 1), 2**30, -2**30, 2**53 // 72 + 1,
                                True, Millimetres(7), -0.0, 1e308])
def test_mm_to_pt_at_the_edges_of_its_short_path(mm):
    result = pdf_module.mm_to_pt(mm)
    assert type(result) is float and result == mm * 72 / 25.4


@given(numbers)
def test_mm_to_pt_multiplies_before_dividing(mm):
    assert pdf_module.mm_to_pt(mm) == mm * 72 / 25.4


@pytest.mark.parametrize("val, text", [
    (7, "7"), (-0.0, "0"), (2.999, "3.0"), (1e20, "100000000000000000000"), (True, "1"),
    (Fraction(1, 8), "0.12"),
])
def test_format_mm_value(val, text):
    assert pdf_module.format_mm_value(val) == text


@pytest.mark.parametrize("f, value, error, message", [
    (pdf_module.mm_to_pt, 10**400, OverflowError, "int too large to convert to float"),
    (pdf_module.mm_to_pt, "10", TypeError, "unsupported operand type"),  # "10" * 72 is text
    (pdf_module.mm_to_pt, Decimal("1.5"), TypeError, "unsupported operand type"),
    (pdf_module.format_mm_value, math.nan, ValueError, "cannot convert float NaN to integer"),
    (pdf_module.format_mm_value, math.inf, OverflowError, "cannot convert float infinity to integer"),
])
def test_conversion_errors(f, value, error, message):
    with pytest.raises(error, match=f"^{message}"):
        f(value)


@pytest.mark.parametrize("args, expected", [
    ((100, 50, 210, 297), (100, 50)),
    ((300, 100, 210, 297), (210, 70.0)),
    ((100, 400, 210, 297), (74.25, 297)),
    ((10**30, 10**30, 10, 20), (10, 10.0)),
    ((Fraction(1, 3), 1, 5, 5), (Fraction(33, 100), 1)),
    ((0, 10, 0, 297), (0, 10)),  # a page side of 0 is never divided by when the image fits
])
def test_scale_image_to_pdf(args, expected):
    result = pdf_module.scale_image_to_pdf(*args)
    assert (result, [type(v) for v in result]) == (expected, [type(v) for v in expected])


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
def test_scale_image_to_pdf_matches_the_runtime(w, h, pw, ph):
    assert outcome(pdf_module.scale_image_to_pdf, w, h, pw, ph) == outcome(reference_scale, w, h, pw, ph)


@pytest.mark.parametrize("args, line, message", [
    ((10, 0, 210, 297), 209, "division by zero"),   # the ratio is computed before any test
    ((300, 100, 0, 297), 212, "division by zero"),  # a page side of 0 matters once it is too large
    ((1e-09, -5, 0, 0), 212, "float division by zero"),  # the width's share is divided first
    ((0, 10**400, 0, 1), 212, "division by zero"),  # not the right share's OverflowError
    ((10, 10, "a", 297), 210, "'>' not supported between instances of 'int' and 'str'"),
])
def test_scale_image_to_pdf_errors(args, line, message):
    with pytest.raises((ZeroDivisionError, TypeError), match=f"^{message}$") as excinfo:
        pdf_module.scale_image_to_pdf(*args)
    assert module_entry(excinfo) == ("pdf_module.scale_image_to_pdf", line)


@pytest.mark.parametrize("call", [
    lambda: pdf_module.format_mm_value(Fraction(1, 8)),
    lambda: pdf_module.scale_image_to_pdf(Fraction(1, 3), 400, 210, 297),
    lambda: pdf_module.mm_to_pt(None),
    lambda: pdf_module.scale_image_to_pdf(1, 0, 2, 3),
    lambda: pdf_module.scale_image_to_pdf(1, 2, 3, mm=4),
])
def test_no_leaks(call):
    def once():
        with contextlib.suppress(TypeError, ValueError, ZeroDivisionError):
            call()
    assert allocated_blocks_stay_flat(once)


def test_rounding_and_fixed_point_text_agree_with_the_runtime_on_many_values(state):
    rng = random.Random(20261206)
    values = [k / 200 for k in range(-5000, 5000)]                    # exact ties and near-ties
    values += [k / 1000 + 0.0005 for k in range(-3000, 3000)] + [k / 20000 for k in range(-2000, 2000)]
    values += [rng.uniform(-1e13, 1e13) for _ in range(20000)]
    values += [math.ldexp(rng.random(), rng.randint(-60, 200)) for _ in range(20000)]
    values += [9.995, 0.125, 0.375, 2.675, 1.00005, 1e13 - 0.001, 9.999999999999e12, 5e-324, -0.004]
    for v in values:
        if abs(v) < 1e15:
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
