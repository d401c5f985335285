"""A small pure-Python model of what encode and decode give, independent of
the module's code, for the tests that check random tables against it."""

import math
from decimal import Context

MARKERS = ("<NA>", "nan", "NaN")


def is_number(cell):
    """A cell is a number when the float protocol accepts it."""
    if isinstance(cell, str) or cell is None:
        return False
    try:
        float(cell)
    except OverflowError:
        return False
    return True


def render_number(value):
    """Shortest round-tripping digits, laid out without an exponent."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    # A context of its own: the current one is shared by the threads that a
    # free-threaded 3.14 starts (they inherit the context of their starter),
    # and every Decimal operation writes its status flags.
    context = Context()
    return format(context.create_decimal(repr(value)).normalize(context), "f")


def model_column(cells):
    """(is_text, texts or None, codes) for one column of cells."""
    first_text = next((i for i, cell in enumerate(cells) if not is_number(cell)), None)
    if first_text is None:
        return False, None, [float(cell) for cell in cells]
    texts = [render_number(float(cell)) for cell in cells[:first_text]]
    texts += [str(cell) for cell in cells[first_text:]]
    ordinary = sorted({t for t in texts if t not in MARKERS}, key=lambda t: t.encode("utf-8"))
    rank = {t: float(i) for i, t in enumerate(ordinary)}
    codes = [rank.get(t, math.nan) for t in texts]
    return True, texts, codes


def model_labels(columns):
    """What encoding the table of `columns` teaches: for each text column, its
    code -> text."""
    learned = {}
    for c, cells in enumerate(columns):
        is_text, texts, codes = model_column(cells)
        if is_text:
            learned[c] = {int(code): text for code, text in zip(codes, texts) if not math.isnan(code)}
    return learned


def model_decode(codes_by_column, learned, missing):
    """Decoded columns: learned columns as texts (`missing` where a code has
    none), the others as the floats they hold."""
    out = []
    for c, codes in enumerate(codes_by_column):
        if c not in learned:
            out.append([float(v) for v in codes])
            continue
        labels = learned[c]
        column = []
        for v in codes:
            code = None if math.isnan(v) else (0 if v < 0 else int(min(v, 2.0**64 - 1)))
            column.append(labels.get(code, missing))
        out.append(column)
    return out
