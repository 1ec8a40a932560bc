"""Reading a PDF's objects through their numbers, without loading pages:
references in an array's text, inherited keys, the pages' annotations."""

import re

_REF = re.compile(r"([0-9]+)\s+[0-9]+\s+R")


def refs(kind, value):
    """The object numbers that a value read with xref_get_key refers to."""
    return [int(n) for n in _REF.findall(value)] if kind in ("xref", "array") else []


def array_items(text):
    """The referenced object numbers of a PDF array's text, 0 for each direct
    dictionary in it."""
    items, depth, at = [], 0, 1
    while at < len(text) - 1:
        if text.startswith("<<", at):
            items += [0] if depth == 0 else []
            depth, at = depth + 1, at + 2
        elif text.startswith(">>", at):
            depth, at = depth - 1, at + 2
        elif depth == 0 and (ref := _REF.match(text, at)):
            items.append(int(ref[1]))
            at = ref.end()
        else:
            at += 1
    return items


def array(doc, xref, key):
    """The items (as array_items) of the array under `key`, also when the
    array is an object of its own; [] when there is none."""
    kind, value = doc.xref_get_key(xref, key)
    if kind == "xref":
        value = doc.xref_object(refs(kind, value)[0], compressed=True)
        kind = "array" if value.lstrip().startswith("[") else kind
    return array_items(value) if kind == "array" else []


_ANNOTS = re.compile(r"/Annots\s*(\[[^\]]*\]|[0-9]+\s+[0-9]+\s+R)")


def annotation_refs(doc):
    """Per page, the object numbers in its /Annots (read from the page's
    text: one call per page, where a key lookup takes several)."""
    for number in range(len(doc)):
        found = _ANNOTS.search(doc.xref_object(doc.page_xref(number), compressed=True))
        value = found[1] if found else ""
        if value.endswith("R"):
            value = doc.xref_object(refs("xref", value)[0], compressed=True)
        yield array_items(value) if value.lstrip().startswith("[") else []


def inherited(doc, xref, key):
    """(kind, value) of `key` in the object or the nearest /Parent that has
    it; ("null", "null") when none has. Loops of parents end."""
    seen = set()
    while xref not in seen:
        seen.add(xref)
        kind, value = doc.xref_get_key(xref, key)
        if kind != "null":
            return kind, value
        parents = refs(*doc.xref_get_key(xref, "Parent"))
        if not parents:
            break
        xref = parents[0]
    return "null", "null"


_TOKEN = re.compile(r"<<|>>|\[|\]|\((?:\\.|[^\\()])*\)|<[0-9A-Fa-f\s]*>|/[^\s/<>\[\]()%{}]*"
                    r"|[^\s/<>\[\]()%{}]+")


def entries(text):
    """{key: value text} of a dictionary's text as xref_object gives it, for
    its own keys (not those of dictionaries inside it; a value's tokens are
    joined by blanks); None when the text is not a dictionary this reader
    follows."""
    tokens = _TOKEN.findall(text)
    if len(tokens) < 2 or tokens[0] != "<<" or tokens[-1] != ">>":
        return None
    found, at, end = {}, 1, len(tokens) - 1
    while at < end:
        key = tokens[at]
        at += 1
        if key[:1] != "/" or at >= end:
            return None
        first = at
        if tokens[at] in ("<<", "["):
            depth = 0
            while at < end:
                token = tokens[at]
                if token in ("<<", "["):
                    depth += 1
                elif token in (">>", "]"):
                    depth -= 1
                at += 1
                if not depth:
                    break
            if depth:
                return None
        elif at + 2 < end and tokens[at + 2] == "R":
            at += 3
        else:
            at += 1
        found[key[1:]] = " ".join(tokens[first:at])
    return found
