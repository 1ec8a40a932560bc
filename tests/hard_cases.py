# Generated PDFs of the kinds real-world files bring; HARD_CASES maps a row name to a writer(path).
import re

import fitz

A4 = (595, 842)
USER_PASSWORD = "user-secret"


def _pages(doc, count, mark=True):
    for number in range(count):
        page = doc.new_page(width=A4[0], height=A4[1])
        if mark:  # something drawn, so that a render is not blank
            page.insert_text((60, 800), f"page {number + 1}", fontsize=14)
    return doc


def turned(rotation, boxes):  # "cropped" inside the media box; "offset" moves both off the origin
    def build(path):
        with fitz.open() as doc:
            for page in _pages(doc, 3):
                if boxes == "offset":
                    page.set_mediabox(fitz.Rect(-40, 25, A4[0] + 60, A4[1] + 90))
                if boxes:
                    page.set_cropbox(fitz.Rect(30, 40, 500, 700) + (
                        (-40, 25, -40, 25) if boxes == "offset" else (0, 0, 0, 0)))
                page.set_rotation(rotation)
            doc.save(str(path))
        return str(path)
    return build


def inherited_rotation(path):
    with fitz.open() as doc:
        for page in _pages(doc, 2):
            doc.xref_set_key(page.xref, "Rotate", "null")  # removes the page's own
        root = int(doc.xref_get_key(doc.pdf_catalog(), "Pages")[1].split()[0])
        doc.xref_set_key(root, "Rotate", "90")
        doc.save(str(path))
    return str(path)


def unrestored_flip(path):  # content mirrors the page and never restores it
    with fitz.open() as doc:
        page = doc.new_page(width=A4[0], height=A4[1])
        xref = doc.get_new_xref()
        doc.update_object(xref, "<<>>")
        doc.update_stream(xref, f"1 0 0 -1 0 {A4[1]} cm 0.2 0.2 0.8 rg 40 40 120 60 re f".encode())
        doc.xref_set_key(page.xref, "Contents", f"{xref} 0 R")
        doc.save(str(path))
    return str(path)


def user_password(path):
    with fitz.open() as doc:
        _pages(doc, 1)
        doc.save(str(path), encryption=fitz.PDF_ENCRYPT_AES_256, user_pw=USER_PASSWORD,
                 owner_pw="owner-secret")
    return str(path)


def damaged_xref(path):  # every offset wrong, startxref misses the table: readers repair it
    with fitz.open() as doc:
        _pages(doc, 2)
        data = doc.tobytes(garbage=1, no_new_id=True)
    table = data.rindex(b"\nxref\n") + 1
    head, tail = data[:table], data[table:]
    tail = re.sub(rb"(?m)^(\d{10}) (\d{5}) n", lambda m: b"%010d %s n" % (
        int(m[1]) + 7, m[2]), tail)
    tail = re.sub(rb"startxref\s+\d+", b"startxref\n%d" % (table + 13), tail)
    with open(path, "wb") as f:
        f.write(head + tail)
    return str(path)


def no_pages(path):  # an empty page tree (PyMuPDF refuses to save one)
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [] /Count 0 >>"]
    out, offsets = bytearray(b"%PDF-1.7\n"), []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    table = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, table)
    with open(path, "wb") as f:
        f.write(out)
    return str(path)


HARD_CASES = {
    **{f"turned {r}{' ' + boxes if boxes else ''}": turned(r, boxes)
       for r in (0, 90, 180, 270) for boxes in ("", "cropped", "offset")},
    "inherited rotation": inherited_rotation,
    "unrestored flip": unrestored_flip,
    "user password": user_password,
    "damaged xref": damaged_xref,
    "no pages": no_pages,
}
