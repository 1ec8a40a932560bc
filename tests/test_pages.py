import pytest

from pdf_stamp.exceptions import BadPageRule, ExitCode, PageOutOfRange
from pdf_stamp.pages import every_pages, parse_rules


@pytest.mark.parametrize("text, page_count, expected", [
    ("1", 5, [1]), ("1-3", 5, [1, 2, 3]), ("03,002-3", 5, [2, 3]), ("3-", 5, [3, 4, 5]), ("last", 5, [5]),
    ("odd", 5, [1, 3, 5]), ("even", 5, [2, 4]), ("all", 5, [1, 2, 3, 4, 5]), ("", 5, []), ("  ", 5, []),
    (" 4 , 1-2 ,LAST", 5, [1, 2, 4, 5]),  # blanks around pieces, any case of the words
    ("2,1-3,2-", 5, [1, 2, 3, 4, 5]),  # overlaps give each page once, sorted
    ("1,last,odd,all", 1, [1]), ("even", 1, []),
    # past the end: the page named is the furthest one asked for
    ("6", 5, 6), ("4-9", 5, 9), ("6-", 5, 6),
    # malformed pieces name the piece; only ASCII digits count
    *[(piece, 5, piece) for piece in ("0", "0-2", "3-1", "1-3-5", "-3", "1.5", "2 4", "first",
                                      "last-1", "\uff12", "²")],
    ("1,,2", 5, ""), ("1,", 5, ""),
])
def test_rules(text, page_count, expected):
    if isinstance(expected, list):
        assert parse_rules(text).expand(page_count) == expected
    elif isinstance(expected, int):
        rules = parse_rules(text)
        with pytest.raises(PageOutOfRange) as caught:
            rules.expand(page_count, "in.pdf")
        assert caught.value.exit_code == ExitCode.file_failed
        assert f"ページ {expected} " in str(caught.value) and "in.pdf" in str(caught.value)
    else:
        with pytest.raises(BadPageRule) as caught:
            parse_rules(text)
        assert (caught.value.exit_code, f"「{expected}」" in str(caught.value)) == (ExitCode.bad_arguments, True)


@pytest.mark.parametrize("interval, page_count, expected", [
    ("2", 5, [2, 4]), ("1", 3, [1, 2, 3]), (" 5 ", 5, [5]), ("6", 5, []), ("0", 5, []),
    ("-3", 5, []), ("", 5, []), ("2.5", 5, ValueError), ("abc", 5, ValueError),
])
def test_every_selects_what_process_pdf_selects(interval, page_count, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            every_pages(interval, page_count)
    else:
        assert every_pages(interval, page_count) == expected
