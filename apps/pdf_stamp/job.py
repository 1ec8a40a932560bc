"""The settings of one stamping run, and what became of each file."""

import dataclasses

from .naming import DEFAULT_SUFFIX
from .seal import DEFAULT_TOLERANCE


@dataclasses.dataclass
class StampJob:
    image: str | None  # the stamp image's path; None for a generated seal or a marks run
    x: str | None = None  # mm text; None when an anchor places the stamp
    y: str | None = None
    width: str | None = None  # mm text; None: natural size, or follows the other side
    height: str | None = None
    anchor: str | None = None  # one of placement.ANCHORS
    margin: float = 10.0  # mm from the anchor's edges
    pages: str = ""  # page rules
    every: str = ""  # every N-th page, as process_pdf takes it
    opacity: float = 1.0
    white_to_transparent: bool = False
    tolerance: int = DEFAULT_TOLERANCE
    rotate: float = 0.0  # tilt in degrees, counter-clockwise, -180..180
    seal: object = None  # a sealdraw.DateSeal or NameSeal drawn in place of an image
    marks: tuple = ()  # StampJobs stamped in turn in place of this one's own stamp
    suffix: str = DEFAULT_SUFFIX
    allow_rewrite: bool = False  # stamp signed documents anyway
    out_dir: str = ""  # "" means the current folder
    verbose: bool = False  # the module's printed lines go to standard error, else nowhere
    signing: object = None  # signing.Signing: sign with the seal as appearance instead
    sign: bool = False  # of a mark: this one becomes the signature's appearance
    pdf_password: bytes | None = dataclasses.field(default=None, repr=False)  # protected PDFs

    def each_mark(self):
        """The stamps of this job, in the order they are applied."""
        return self.marks or (self,)

    def signature_parts(self):
        """(the job that signs, the marks stamped before it) of a signing
        run: with marks, the flagged one signs, carrying this run's
        settings; None when no mark is flagged."""
        if not self.marks:
            return self, ()
        flagged = [mark for mark in self.marks if mark.sign]
        if not flagged:
            return None, self.marks
        settings = {key: getattr(self, key) for key in (
            "suffix", "allow_rewrite", "out_dir", "verbose", "signing", "pdf_password")}
        return (dataclasses.replace(flagged[0], **settings),
                tuple(mark for mark in self.marks if not mark.sign))


@dataclasses.dataclass
class FileResult:
    source: str
    result: str | None = None
    pages_stamped: list = dataclasses.field(default_factory=list)
    size_before: int | None = None
    size_after: int | None = None
    error: str | None = None
    messages: list = dataclasses.field(default_factory=list)
    # Pages written with only part of the stamp on the page, one dict each:
    # {"page": page number from 1, "box": [x, y, width, height] asked for, in mm
    # from the displayed page's top-left corner, "text": the message to show}.
    warnings: list = dataclasses.field(default_factory=list)

    @property
    def growth(self):
        """size_after / size_before, or None."""
        if self.size_before and self.size_after is not None:
            return self.size_after / self.size_before
        return None

    @property
    def ok(self):
        return self.error is None and self.result is not None

    def as_dict(self):
        return dict(dataclasses.asdict(self), growth=self.growth, ok=self.ok)
