import contextlib
import io
import math
import random

import pdf_module
from conftest import Field, ImageControl


def expected_lines(x_mm, ratio, shrink):
    x_px = x_mm / 25.4 * 72 * ratio * shrink
    return (f"[位置更新] X: {x_mm}mm → {x_px:.2f}px, Y: 0.0mm → {0.0 * ratio * shrink:.2f}px\n"
            f"     スケール: {ratio:.4f} × 縮小率: {shrink:.4f} → 表示: {ratio * shrink:.4f}px/pt\n")


def test_fixed_point_text_matches_the_runtime(state):
    rng = random.Random(7)
    values = [k / 20000 for k in range(-2000, 2000)] + [0.125, 0.375, 2.675, 1.00005, -0.0]
    values += [rng.uniform(-1e6, 1e6) for _ in range(3000)]
    values += [math.ldexp(rng.random(), rng.randint(-40, 200)) for _ in range(3000)]
    values += [math.inf, -math.inf, math.nan, 1e300, 5e-324]
    preview, path = ImageControl(), Field("stamp.png")
    for ratio in values:
        state.pdf_scale_ratio, state.shrink_scale = ratio, 1.0
        x = Field(repr(ratio if math.isfinite(ratio) else 1.5))
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            pdf_module.update_image_position(x, Field(""), preview, path)
        assert out.getvalue() == expected_lines(float(x.value), ratio, 1.0), ratio
