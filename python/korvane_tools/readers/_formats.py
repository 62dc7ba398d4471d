"""The instrument formats: how to recognise each and where its table is.

Each parser only locates the header and the data rows of its format and
hands them on as :class:`Table` values; recognising columns, reading
numbers and signs is shared (``_columns``). Adding a format is one parser
and one line in :data:`FORMATS`.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

from . import _legacy_text
from ._columns import Table, names_columns, prefixed
from ._text import (
    MAX_LINE,
    FormatError,
    decimal_comma,
    decode,
    fields,
    number,
    numeric_block,
    numeric_separator,
    split_lines,
)

Parser = Callable[[list[str]], list[Table]]

_COMMENTS = ("#", "%", "//", "!")

# A point count as files write it: ASCII digits ("²".isdigit() is true too).
_COUNT = re.compile(r"[0-9]+")


def _count(text: str) -> int | None:
    text = text.strip()
    return int(text) if _COUNT.fullmatch(text) else None


# -- Gamry Framework .DTA --------------------------------------------------


def _gamry(lines: list[str]) -> list[Table]:
    """Every ``ZCURVE TABLE``: a names row, a units row, then tab-led rows."""
    aborted = any(re.match(r"EXPERIMENTABORTED\tTOGGLE\tT\b", line) for line in lines)
    tables = []
    for i, line in enumerate(lines):
        if not re.match(r"ZCURVE\tTABLE\b", line):
            continue
        head = line.split("\t")
        declared = _count(head[2]) if len(head) > 2 else None
        if i + 2 >= len(lines):
            raise FormatError(i + 1, "expected a names row and a units row after ZCURVE")
        rows = []
        for k in range(i + 3, len(lines)):
            if not lines[k].startswith("\t"):
                break
            rows.append((k + 1, fields(lines[k], "\t")[1:]))
        names = fields(lines[i + 1], "\t")[1:]
        tables.append(Table(names, i + 2, rows, "\t", declared, {"aborted": aborted}))
    if not tables:
        raise FormatError(1, "expected a ZCURVE table (an impedance measurement); found none")
    return tables


# -- BioLogic EC-Lab text export .mpt --------------------------------------


def _biologic(lines: list[str]) -> list[Table]:
    """Line 2 gives the header length; its last line names the columns."""
    count = _biologic_header(lines)
    if count > len(lines):
        raise FormatError(2, f"header of {count} lines announced, but the file has {len(lines)}")
    rows = [(k + 1, fields(lines[k], "\t")) for k in range(count, len(lines)) if lines[k].strip()]
    return [Table(fields(lines[count - 1], "\t"), count, rows, "\t")]


def _biologic_header(lines: list[str]) -> int:
    match = re.match(r"Nb header lines\s*:\s*(\d+)", lines[1] if len(lines) > 1 else "")
    if match is None:
        raise FormatError(2, "expected 'Nb header lines : <count>'")
    count = int(match.group(1))
    if count < 3:
        raise FormatError(2, f"header of {count} lines announced: too short for a names row")
    return count


# -- ZPlot / ZView .z (ZPLOT2 ASCII, ZPlotW and Z60W) ----------------------


def _is_zplot(lines: list[str]) -> bool:
    first = lines[0].strip()
    return first.startswith("ZPLOT2 ASCII") or bool(re.match(r'"(ZPlotW|Z60W) Data File', first))


def _zplot(lines: list[str]) -> list[Table]:
    """ZPLOT2: names row just above "End Comments"; ZPlotW/Z60W: count, then quoted names.

    The point count in the header is the count the sweep was set up for; a
    sweep stopped early holds fewer rows, so it is recorded in
    ``attrs["points_planned"]``, not enforced.
    """
    if lines[0].strip().startswith("ZPLOT2 ASCII"):
        end = next((i for i, ln in enumerate(lines) if ln.strip() == "End Comments"), None)
        if end is None:
            raise FormatError(len(lines), "expected an 'End Comments' line closing the header")
        header = end - 1
        points = next((ln for ln in lines[:end] if ln.strip().startswith("Data Points:")), "")
        planned = points.partition(":")[2].strip()
    else:
        found = next(
            (
                i
                for i in range(1, len(lines))
                if _count(lines[i - 1]) is not None and lines[i].startswith('"')
            ),  # fmt: skip
            None,
        )
        if found is None:
            raise FormatError(
                len(lines),
                'expected a point count followed by a quoted names row ("  Freq(Hz) ...")',
            )
        header = found
        planned = lines[header - 1].strip()
    data = [(k + 1, lines[k]) for k in range(header + 1, len(lines)) if lines[k].strip()]
    if data and data[0][1].strip() == "End Comments":
        data = data[1:]
    sep = (numeric_separator(data[0][1]) if data else None) or "\t"
    rows = [(n, fields(text, sep)) for n, text in data]
    count = _count(planned)
    attrs = {"points_planned": count} if count is not None else {}
    return [Table(_zplot_names(lines[header]), header + 1, rows, sep, attrs=attrs)]


def _zplot_names(line: str) -> list[str]:
    """Blank-aligned names; a unit written apart ("Freq (Hz)") joins its name."""
    names = _join_units(line.strip().strip('"').split())
    # "Z'(a)" and "Z''(b)" carry ZPlot's own column letters, not units.
    return [re.sub(r"\([ab]\)$", "", n) for n in names]


def _join_units(tokens: list[str]) -> list[str]:
    """Blank-separated names with their units joined: "Freq", "(Hz)" -> "Freq(Hz)".

    A token in brackets, or a slash with what follows ("Z'", "/", "Ohm"),
    belongs to the name before it; it is not a column.
    """
    names: list[str] = []
    glue = False
    for token in tokens:
        if names and (glue or token.startswith(("(", "[", "/"))):
            names[-1] += token
            glue = token == "/"
        else:
            names.append(token)
            glue = False
    return names


# -- VersaStudio .par -------------------------------------------------------


def _versastudio(lines: list[str]) -> list[Table]:
    """Each ``<SegmentN>`` block: a ``Definition=`` names line, comma rows."""
    tables = []
    opened: tuple[int, str] | None = None  # line index and name of the open segment
    for i, line in enumerate(lines):
        text = line.strip()
        if opened is None:
            match = re.fullmatch(r"<(Segment\d+)>", text)
            if match is not None:
                opened = (i, match.group(1))
        elif text == f"</{opened[1]}>":
            tables.append(_segment(lines, opened[0], i, opened[1]))
            opened = None
    if opened is not None:
        raise FormatError(
            len(lines), f"expected </{opened[1]}> closing line {opened[0] + 1} (file cut off?)"
        )
    if not tables:
        raise FormatError(1, "expected a <Segment1> block holding the data; found none")
    return tables


def _segment(lines: list[str], start: int, end: int, name: str) -> Table:
    define = next((k for k in range(start + 1, end) if lines[k].startswith("Definition=")), None)
    if define is None:
        raise FormatError(start + 1, "expected a 'Definition=' line naming the columns")
    names = fields(lines[define][len("Definition=") :], ",")
    while names and number(names[-1], False) is not None:
        names.pop()  # VersaStudio ends the list with a "0" that names no column
    rows = [(k + 1, fields(lines[k], ",")) for k in range(define + 1, end) if lines[k].strip()]
    return Table(names, define + 1, rows, ",", attrs={"segment": name})


# -- RelaxIS spectrum export -------------------------------------------------


def _is_relaxis(lines: list[str]) -> bool:
    return bool(re.match(r"RelaxIS [\d.]+ Spectrum export", lines[0].strip()))


def _relaxis(lines: list[str]) -> list[Table]:
    """A ``Data: <name>`` titles line, then per spectrum a parameter line and its rows.

    The parameter line (``DC=-0.08, TM=33.7, J=-5E-6<TAB>Model: ...<TAB>
    (WE/RE Spectrum) <name>``) is the one line of text under the titles that
    is not a row of numbers; each one starts a spectrum, whose attrs keep
    its ``key=value`` parameters as numbers, the model and the name. The
    titles may be repeated above a later spectrum.
    """
    titles = next((i for i, ln in enumerate(lines) if ln.startswith("Data: ")), None)
    if titles is None:
        raise FormatError(3, "expected a titles line of 'Data: <name>' fields")
    tables: list[Table] = []
    for k in range(titles, len(lines)):
        text = lines[k]
        if not text.strip():
            continue
        if text.startswith("Data: "):  # titles, also repeated for a later spectrum
            names, titles = [n.removeprefix("Data: ") for n in fields(text, "\t")], k
        elif numeric_separator(text) is None:  # the next spectrum's parameter line
            tables.append(Table(names, titles + 1, [], "\t", attrs=_relaxis_params(text)))
        elif not tables:
            raise FormatError(
                k + 1, "expected a parameter line (DC=..., Model: ...) above the rows"
            )
        else:
            tables[-1].rows.append((k + 1, fields(text, "\t")))
    if not tables:
        raise FormatError(titles + 2, "expected a parameter line and rows under the titles")
    return tables


def _value(text: str) -> float | str:
    value = number(text, True)
    return text.strip() if value is None else value


def _relaxis_params(line: str) -> dict[str, object]:
    attrs: dict[str, object] = {}
    for part in fields(line, "\t"):
        if part.startswith("Model:"):
            attrs["model"] = part.removeprefix("Model:").strip()
        elif "=" in part:
            # ", " between pairs; a comma inside a value is a decimal comma
            pairs = (p.partition("=") for p in re.split(r",\s+", part))
            attrs["parameters"] = {
                key.strip(): _value(value) for key, _, value in pairs if key.strip()
            }
        else:
            attrs["title"] = part
    return attrs


# -- delimited text: CSV, TSV, semicolons, blanks ---------------------------


def _is_comment(line: str) -> bool:
    return line.lstrip().startswith(_COMMENTS)


def _uncomment(line: str) -> str:
    text = line.lstrip()
    for mark in _COMMENTS:
        if text.startswith(mark):
            return text[len(mark) :]
    return line


@dataclass(frozen=True)
class _Head:
    """Where a delimited table starts: its separator, names and first data line."""

    start: int  # index of the first data line
    sep: str
    names: list[str] | None
    header_line: int
    header_text: str | None


def _delimited_head(lines: list[str]) -> _Head:
    """The first line that splits into two or more numbers starts the data;
    the nearest non-blank line above it (a comment mark removed) names the
    columns if it splits into two or more fields."""
    content = [i for i, ln in enumerate(lines) if ln.strip() and not _is_comment(ln)]
    start = next((i for i in content if numeric_separator(lines[i]) is not None), None)
    if start is None:
        last = max(content, default=0)
        raise FormatError(
            last + 1,
            "expected rows of numbers separated by tabs, semicolons, commas or blanks; "
            f"found none (last line: {lines[last].strip()[:60]!r})",
        )
    sep = numeric_separator(lines[start]) or ","
    above = next((i for i in range(start - 1, -1, -1) if lines[i].strip()), None)
    if above is not None:
        candidate = fields(_uncomment(lines[above]), sep)
        if sep == " ":
            candidate = _join_units(candidate)
        # A comment names the columns only if it names a known one ("# freq
        # zreal zimag" from numpy.savetxt), not "% exported by hand".
        if len(candidate) >= 2 and (not _is_comment(lines[above]) or names_columns(candidate)):
            _refuse_broken_row(above + 1, candidate, lines[start], sep)
            return _Head(start, sep, candidate, above + 1, lines[above].strip())
    return _Head(start, sep, None, start + 1, None)


def _delimited(lines: list[str]) -> list[Table]:
    """Preamble, an optional names line, then rows of numbers to the end.

    A repetition of the names line starts another spectrum.
    """
    head = _delimited_head(lines)
    sep = head.sep
    tables = [Table(head.names, head.header_line, [], sep)]
    for k in range(head.start, len(lines)):
        text = lines[k]
        if not text.strip() or _is_comment(text):
            continue
        if text.strip() == head.header_text:
            tables.append(Table(head.names, k + 1, [], sep))
            continue
        parts = fields(text, sep)
        if numeric_separator(text) is None and not any(_numeric(p, sep) for p in parts):
            raise FormatError(k + 1, f"expected a row of numbers, found {text.strip()[:60]!r}")
        tables[-1].rows.append((k + 1, parts))
    return tables


def _autolab(lines: list[str]) -> list[Table]:
    return _zplot(lines) if _is_zplot(lines) else _delimited(lines)


def _numeric(field: str, sep: str) -> bool:
    return number(field, decimal_comma(sep)) is not None


def _refuse_broken_row(line: int, candidate: list[str], first_row: str, sep: str) -> None:
    """A would-be names line that is half numbers is a damaged first data row."""
    numeric = [_numeric(p, sep) for p in candidate]
    if any(numeric) and len(candidate) == len(fields(first_row, sep)):
        bad = candidate[numeric.index(False)]
        raise FormatError(line, f"expected a number, found {bad[:60]!r}")


# -- the table ---------------------------------------------------------------


@dataclass(frozen=True)
class Format:
    """A format: its name, the extensions that suggest it, how to spot it."""

    name: str
    extensions: tuple[str, ...]
    sniff: Callable[[list[str]], bool]
    parse: Parser


def _header_has(*words: str) -> Callable[[list[str]], bool]:
    def sniff(lines: list[str]) -> bool:
        first = next((ln for ln in lines if ln.strip()), "")
        return all(w in first for w in words)

    return sniff


#: Tried in order; the first whose sniffer accepts the text reads it. The
#: delimited-text entries differ only in name, so a file says what it is.
FORMATS: tuple[Format, ...] = (
    Format("gamry", (".dta",), lambda ls: ls[0].strip() == "EXPLAIN", _gamry),
    Format(
        "biologic",
        (".mpt",),
        lambda ls: ls[0].strip() in ("EC-Lab ASCII FILE", "BT-Lab ASCII FILE"),
        _biologic,
    ),
    Format("zplot", (".z",), _is_zplot, _zplot),
    Format("versastudio", (".par",), lambda ls: ls[0].strip() == "<Application>", _versastudio),
    Format("relaxis", (), _is_relaxis, _relaxis),
    Format(
        "autolab",
        (),
        _header_has("Frequency (Hz)", "-Z''"),
        _autolab,
    ),
    Format("chi", (), lambda ls: any(ln.strip() == "A.C. Impedance" for ln in ls[:3]), _delimited),
    Format("parstat", (), _header_has("Frequency (Hz)", "Zre (ohms)"), _delimited),
    Format("powersuite", (), _header_has("Frequency", "Zre", "Zimg"), _delimited),
    Format("counted", (), _legacy_text.is_counted, _legacy_text.parse_counted),
    Format("grouped", (), _legacy_text.is_grouped, _legacy_text.parse_grouped),
    Format("csv", (".csv", ".tsv", ".txt", ".dat"), lambda ls: True, _delimited),
)

BY_NAME = {f.name: f for f in FORMATS}


def sniff(lines: list[str]) -> Format:
    """The format a text is in: the first sniffer that accepts it.

    Content decides, not the extension: a ``.mpt`` or ``.z`` file exported
    without its instrument header is plain delimited text.
    """
    return next(f for f in FORMATS if f.sniff(lines))


def suggested_by(suffix: str) -> Format | None:
    """The format an extension usually means, for hints in error messages."""
    return next((f for f in FORMATS[:-1] if suffix.lower() in f.extensions), None)


#: Files smaller than this are read line by line: the vectorised reading
#: only pays off on large tables.
FAST_MIN = 1 << 18
_HEAD = 1 << 16  # bytes first searched for the header, doubled up to MAX_LINE


def fast_tables(raw: bytes, fmt: Format | None) -> tuple[Format, list[Table]] | None:
    """A large delimited or BioLogic table read in one vectorised pass.

    Only the head of the file is decoded and split into lines, to find the
    names and the first data row; the numbers after it are parsed at once.
    None when the file is small, UTF-16, of another format, or anything but
    a plain block of numbers follows the header: the line-by-line reading
    then gives the same frames or the error naming the line.
    """
    if len(raw) < FAST_MIN or raw[:2] in (b"\xff\xfe", b"\xfe\xff") or raw[1:4:2] == b"\0\0":
        return None
    size = _HEAD
    while True:
        found = _head(raw, size, fmt)
        if found is not None or size >= MAX_LINE or size >= len(raw):
            break
        size *= 2
    if found is None:
        return None
    fmt, start, sep, names, header = found
    if prefixed(names):
        return None
    offset = 0
    for _ in range(start):
        offset = raw.index(b"\n", offset) + 1
    block = numeric_block(raw, offset, sep)
    if block is None:
        return None
    return fmt, [Table(names, header, [], sep, block=block, block_line=start + 1)]


_Found = tuple[Format, int, str, list[str] | None, int]


def _head(raw: bytes, size: int, fmt: Format | None) -> _Found | None:
    """Format, first data line index, separator, names and names line, from
    the first ``size`` bytes; None if they are not all there."""
    end = raw.rfind(b"\n", 0, size)
    head = raw[: end + 1]
    if end < 0 or head.count(b"\r") != head.count(b"\r\n"):
        return None  # old Mac line ends: the line-by-line reading knows them
    lines = split_lines(decode(head))[:-1]
    fmt = fmt or sniff(lines)
    found: _Found
    try:
        if fmt.parse is _biologic:
            count = _biologic_header(lines)
            names = fields(lines[count - 1], "\t")
            found = (fmt, count, "\t", names, count)
        elif fmt.parse is _delimited or (fmt.parse is _autolab and not _is_zplot(lines)):
            h = _delimited_head(lines)
            found = (fmt, h.start, h.sep, h.names, h.header_line)
        else:
            return None
    except (FormatError, IndexError):
        return None
    return found if found[1] < len(lines) else None
