"""The core formats numbers and text exactly as Python does."""

import math

from hypothesis import example, given, settings
from hypothesis import strategies as st

from orvaklab.unitbase import _fixed_text, _general_text, _number_text, _repr_text, _round_to

MANY = settings(max_examples=2000, deadline=None, database=None)
# Any double, plus doubles spread evenly over the decimal magnitudes.
doubles = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.builds(lambda m, e: m * 10.0**e, st.floats(-10, 10), st.integers(-320, 308)).filter(
        math.isfinite),
)


@MANY
@given(doubles)
@example(0.1 + 0.2)
@example(1e16)
@example(1e-5)
@example(-0.0)
@example(5e-324)
def test_number_text_is_repr(x):
    assert _number_text(x) == repr(x)


@MANY
@given(doubles, st.sampled_from([0, 1, 3]))
@example(0.5, 0)
@example(2.5, 0)
@example(1e300, 1)
@example(-0.0001, 3)
def test_fixed_text_is_format_f(x, p):
    assert _fixed_text(x, p) == format(x, f".{p}f")


@MANY
@given(doubles, st.sampled_from([1, 3, 17]))
@example(0.0001, 3)
@example(999.5, 3)
@example(123456.0, 3)
def test_general_text_is_format_g(x, p):
    assert _general_text(x, p) == format(x, f".{p}g")


@MANY
@given(st.text(alphabet=st.characters(blacklist_categories=("Cn", "Cs"))))
@example("both ' and \"")
@example("tab\tnew\nline\r\\\x00\x7f\x80\xa0\xad")
@example("\u2028\u200b\ufeff\U0001f600\U000e0001")
def test_repr_text_is_repr(s):
    assert _repr_text(s) == repr(s)


@MANY
@given(doubles, st.integers(-310, 330))
@example(2.675, 2)
@example(0.125, 2)
@example(-0.5, 0)
@example(25.0, -1)
@example(35.0, -1)
@example(1.7976931348623157e308, -308)
@example(19.999995, 3)
def test_round_to_is_round(x, n):
    try:
        expected = round(x, n)
    except OverflowError:
        expected = OverflowError
    try:
        got = _round_to(x, n)
    except OverflowError:
        got = OverflowError
    if not isinstance(expected, float):
        assert got is expected
    elif math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == expected and math.copysign(1, got) == math.copysign(1, expected)
