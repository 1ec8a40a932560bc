"""The window's marks as the library's StampJobs: the same jobs a marks file
gives the command line, so that the window's output takes the same path
(each mark a pass of process_pdf in the private folder, then verification)."""

import datetime

from pdf_stamp import sealdraw
from pdf_stamp.exceptions import UsageError
from pdf_stamp.i18n import _
from pdf_stamp.job import StampJob
from pdf_stamp.window.texts import number


def seal_of(values, today=None):
    """The generated seal a mark's values describe (None for an image mark);
    raises SealError for a date that does not exist or an empty text."""
    if values["kind"] == "name_seal":
        return sealdraw.NameSeal(values["seal_name"])
    if values["kind"] == "date_seal":
        text = values["seal_date"].strip()
        date = sealdraw.parse_date(text) if text else today or datetime.date.today()
        return sealdraw.DateSeal(values["seal_top"], values["seal_bottom"], date, values["seal_style"])
    return None


def mark_job(values, today=None):
    """One mark's StampJob. Raises UsageError for a mark that cannot be
    stamped: no image chosen, or a seal that cannot be drawn at its size."""
    seal = seal_of(values, today)
    if seal is None and not values["image"]:
        raise UsageError(_("No image is chosen"))
    width, height = values["width"] or None, values["height"] or None
    if seal is not None:
        size = number(width) if width else number(height) if height else None
        sealdraw.check(seal, size)
    anchored = values["anchor"] is not None
    return StampJob(
        image=values["image"] if seal is None else None, seal=seal,
        x=None if anchored else values["x"] or "0", y=None if anchored else values["y"] or "0",
        width=width, height=height, anchor=values["anchor"], margin=number(values["margin"]) or 0.0,
        pages=values["pages"], every=values["every"], opacity=values["opacity"],
        white_to_transparent=values["white_to_transparent"], rotate=values["rotate"])


def run_job(values, allow_rewrite=False, today=None, pdf_password=None):
    """The job of a whole set of values: its marks stamped in order. Raises
    UsageError naming the mark (counted from 1) when there are several."""
    marks = values["marks"]
    jobs = []
    for n, mark in enumerate(marks, 1):
        try:
            jobs.append(mark_job(mark, today))
        except UsageError as error:
            if len(marks) == 1:
                raise
            raise UsageError(_("Mark {number}: {problem}").format(number=n, problem=error)) from None
    return StampJob(image=None, marks=tuple(jobs), allow_rewrite=allow_rewrite, out_dir=values["out_dir"],
                    pdf_password=pdf_password)
