"""Instrument-file readers on measured files and on small variants of our own.

Expected first and last rows are the literal numbers of each file's text
(copied from the file), so a reader that shifts a column, drops a row,
mis-scales or turns a sign fails.
"""

import math
import re
import shutil
from decimal import Decimal
from pathlib import Path

import korvane_tools as kt
import numpy as np
import pytest
from korvane_tools._data import FREQUENCY, IMAG, REAL
from shared_data import SHARED_DATA

DATA = Path(__file__).parent / "data"

# file, format, rows, (f, Z', Z'') first and last as written, sign of the
# stored imaginary column (-1: the file holds -Z'').
MEASURED = [
    ("Circuit1_EIS_1.z", "zplot", 48, ("5.000000E+04", "2.9036E+01", "6.3662E-01"),
     ("1.000000E+00", "7.5803E+01", "-1.6244E-01"), 1),
    ("Circuit2_EIS_2.z", "zplot", 56, ("3.000000E+05", "1.4768E+02", "-1.1662E+01"),
     ("1.000000E+00", "6.5244E+02", "-2.1180E+00"), 1),
    ("Circuit3_EIS_1.z", "zplot", 53, ("1.500000E+05", "1.4937E+03", "1.0377E+01"),
     ("1.000000E+00", "6.1375E+03", "1.7890E+01"), 1),
    # a sweep stopped at 3 kHz: 21 of the 56 planned points
    ("exampleDataZPlot.z", "zplot", 21, ("3.000000E+05", "1.4777E+02", "-1.1335E+01"),
     ("3.000000E+03", "6.1368E+02", "-1.3713E+02"), 1),
    ("exampleDataZPlot_noComments.z", "zplot", 31, ("3.000000E+05", "6.4262E+02", "-8.5821E+01"),
     ("3.000000E+02", "1.3053E+03", "-1.9501E+02"), 1),
    ("exampleDataAutolab.txt", "zplot", 41, ("10000", "0.013785863964281", "0.007191946305823"),
     ("0.1", "0.0345697771923854", "-0.00390292888845954"), 1),
    ("exampleDataCHInstruments.txt", "chi", 73, ("9.961e+4", "9.891e+1", "-2.748e+0"),
     ("1.000e-1", "5.685e+3", "-1.586e+4"), 1),
    ("exampleDataGamry.DTA", "gamry", 72, ("200015.6", "825.8584", "-1367.239"),
     ("0.0158898", "17007.49", "-6635.557"), 1),
    ("exampleDataGamryABORT.DTA", "gamry", 72, ("200015.6", "825.8584", "-1367.239"),
     ("0.0158898", "17007.49", "-6635.557"), 1),
    ("exampleDataParstat.txt", "parstat", 31,
     ("10000", "-0.00049816280376104", "0.0175143479976367"),
     ("10", "0.0270946491457229", "-0.00399791080333837"), 1),
    ("exampleDataPowersuite.txt", "powersuite", 30, ("0.1", "423929.46", "-49014.063"),
     ("2000000", "-470.54113", "-1397.7358"), 1),
    ("exampleDataVersaStudio.par", "versastudio", 61, ("100000", "55.31571", "4.575431"),
     ("0.02154435", "1516.313", "-122.8279"), 1),
    ("exampleDataBioLogic.mpt", "biologic", 43,
     ("1.0003201E+003", "6.5470886E+001", "3.8998979E-001"),
     ("1.6895540E-002", "1.1097003E+002", "2.3458567E+000"), -1),
    ("exampleData.csv", "csv", 66,
     ("3.162299999999999833e-03", "4.949989776405060160e-02", "-2.043869854441892481e-02"),
     ("1.000000000000000000e+04", "1.577148266048593317e-02", "1.015747456493823649e-02"), 1),
]  # fmt: skip

# Our own variants: decimal commas, Latin-1, UTF-16 with BOM, CRLF, BDF CSV,
# semicolons, no header, trailing empty columns, unit prefixes.
VARIANTS = [
    ("bdf.csv", "csv", 7, ("100000", "12.00013193", "-0.07957725283"),
     ("0.1", "59.99998254", "-0.02895290736"), 1),
    ("nova_utf16.txt", "autolab", 8, ("10000", "12,0132", "0,795556"),
     ("1", "59,9983", "0,289519"), -1),
    ("noheader.dat", "csv", 9, ("1000", "13.284", "-7.74488"),
     ("0.01", "60", "-0.00289529"), 1),
    ("trailing_crlf.csv", "csv", 5, ("100000", "12.0001", "-0.0795773"),
     ("0.1", "60", "-0.0289529"), 1),
    # kHz and kOhm ("e3"): the decimal point moves three places, the digits stay
    ("kilo_units.tsv", "csv", 5, ("100e3", "0.0120001e3", "-7.95773e-05e3"),
     ("0.0001e3", "0.06e3", "-2.89529e-05e3"), 1),
]  # fmt: skip


def _value(text):
    """A number as written: a decimal comma, and a trailing "e3" for kilo columns."""
    text = text.replace(",", ".")
    if text.endswith("e3"):
        return float(Decimal(text[:-2]).scaleb(3))
    return float(text)


def _assert_rows(frame, rows, first, last, sign):
    assert len(frame) == rows
    assert list(frame.columns[:3]) == [FREQUENCY, REAL, IMAG]
    for position, (f, zr, zi) in ((0, first), (-1, last)):
        row = frame.iloc[position]
        assert row[FREQUENCY] == _value(f)
        assert row[REAL] == _value(zr)
        assert row[IMAG] == sign * _value(zi)


ROW_ARGS = "name, fmt, rows, first, last, sign"


@pytest.mark.parametrize(ROW_ARGS, MEASURED, ids=[m[0] for m in MEASURED])
def test_measured_files(name, fmt, rows, first, last, sign):
    frame = kt.read(SHARED_DATA / name)
    _assert_rows(frame, rows, first, last, sign)
    assert frame.attrs["format"] == fmt
    assert frame.attrs["source"].endswith(name)
    assert all(frame[c].dtype.kind in "fi" for c in frame.columns)


@pytest.mark.parametrize(ROW_ARGS, VARIANTS, ids=[v[0] for v in VARIANTS])
def test_variant_files(name, fmt, rows, first, last, sign):
    frame = kt.read(DATA / name)
    _assert_rows(frame, rows, first, last, sign)
    assert frame.attrs["format"] == fmt


def test_signs_and_extra_columns_are_reported():
    bio = kt.read(SHARED_DATA / "exampleDataBioLogic.mpt")
    assert bio.attrs["columns"][IMAG] == "-Im(Z)/Ohm (negated)"
    # the stored phase is already the physics one: kept; |Z| and phase agree with Z
    z = bio[REAL] + 1j * bio[IMAG]
    np.testing.assert_allclose(np.abs(z), bio["Absolute Impedance / ohm"], rtol=1e-6)
    np.testing.assert_allclose(np.degrees(np.angle(z)), bio["Phase / deg"], atol=1e-4)
    assert bio["Current / A"].iloc[0] == pytest.approx(-4.8041187e-2 * 1e-3)  # "<I>/mA"
    assert bio["Test Time / s"].iloc[0] == 7.836904905780102e-1

    nova = kt.read(DATA / "nova_utf16.txt")  # "-Phase (°)": negated back
    assert nova["Phase / deg"].iloc[0] == -3.7888
    assert nova.attrs["columns"]["Phase / deg"] == "-Phase (°) (negated)"

    # modulus and phase only: Z = |Z| exp(j phase), decimal commas, semicolons
    mp = kt.read(DATA / "modulus_phase.csv")
    assert mp[FREQUENCY].tolist() == [100000, 3162.28, 100, 3.16228, 0.1]
    expected = 51.7497 * np.exp(1j * np.radians(-24.219))
    assert mp[REAL].iloc[2] == pytest.approx(expected.real, rel=1e-15)
    assert mp[IMAG].iloc[2] == pytest.approx(expected.imag, rel=1e-15)


def test_gamry_aborted_run_keeps_the_points_measured():
    aborted = kt.read(SHARED_DATA / "exampleDataGamryABORT.DTA")
    complete = kt.read(SHARED_DATA / "exampleDataGamry.DTA")
    assert aborted.attrs["aborted"] is True and complete.attrs["aborted"] is False
    assert len(aborted) == 72  # every row of the ZCURVE table up to the abort


def test_parstat_dc_steps_are_counted_not_read():
    frame = kt.read(SHARED_DATA / "exampleDataParstat.txt")
    # 812 rows in the table: 781 DC steps (frequency 0, Zre 0, Zim 0) and the sweep
    assert frame.attrs["skipped_rows"] == 781
    assert (frame[FREQUENCY] > 0).all()


def test_multi_spectrum_files():
    for name, counts in (
        ("biologic_fr_cycles.mpt", [6, 6]),
        ("gamry_two_sweeps.DTA", [3, 2]),
        ("two_blocks.csv", [4, 3]),
    ):
        spectra = kt.read_spectra(DATA / name)
        assert [len(s) for s in spectra] == counts
        assert [s.attrs["spectrum"] for s in spectra] == list(range(len(counts)))
        with pytest.raises(ValueError, match=rf"holds {len(counts)} spectra.*read_spectra"):
            kt.read(DATA / name)
    cycles = kt.read_spectra(DATA / "biologic_fr_cycles.mpt")
    assert [c.attrs["cycle"] for c in cycles] == [1, 2]
    assert cycles[1][REAL].iloc[0] == 1.2120133e1  # "1,2120133E+01"
    assert cycles[1]["Cycle Count / 1"].tolist() == [2] * 6
    sweeps = kt.read_spectra(DATA / "gamry_two_sweeps.DTA")
    assert sweeps[1][IMAG].tolist() == [-0.087535, -8.51937]


def test_format_override_and_names(tmp_path):
    z60w = kt.read(SHARED_DATA / "exampleDataAutolab.txt", format="autolab")
    assert len(z60w) == 41 and z60w.attrs["format"] == "autolab"
    bdf = kt.read(DATA / "bdf.csv", format="BDF")  # an alias, any case
    assert bdf.attrs["format"] == "csv"
    for path in (DATA / "bdf.csv", DATA / "instruments" / "zahneranalysis_drift.ism"):
        with pytest.raises(ValueError, match="unknown format 'docx'.*'zahner'.*'gamry'.*'relaxis'"):
            kt.read(path, format="docx")
    with pytest.raises(ValueError, match=r"bdf\.csv, line 1: expected a ZCURVE table"):
        kt.read(DATA / "bdf.csv", format="gamry")
    # content decides: a Gamry file under another name is still a Gamry file
    moved = tmp_path / "renamed.txt"
    shutil.copy(SHARED_DATA / "exampleDataGamry.DTA", moved)
    assert kt.read(moved).attrs["format"] == "gamry"


def _write(tmp_path, name, text, encoding="utf-8"):
    path = tmp_path / name
    path.write_bytes(text.encode(encoding))
    return path


def test_broken_files_name_file_line_and_expectation(tmp_path):
    cases = [
        ("empty.csv", "",
         r"empty\.csv, line 1: expected an impedance table, found an empty file"),
        ("blank.csv", "\n  \n", r"blank\.csv, line 1: .*empty file"),
        ("missing.csv", "freq,zreal\n1,2\n3,4\n",
         r"missing\.csv, line 1: expected impedance columns"),
        ("garbage.csv", "freq;zreal;zimag\n1;2;-3\n2;2,5x;-3\n",
         r"garbage\.csv, line 3: expected a number in column 'zreal', found '2,5x'"),
        ("garbage_first.csv", "f,Z',Z''\n1,abc,-3\n2,2,-3\n",
         r"garbage_first\.csv, line 2: expected a number, found 'abc'"),
        ("footer.csv", "f,Z',Z''\n1,2,-3\nend of data\n",
         r"footer\.csv, line 3: expected a row of numbers"),
        ("header_only.csv", "# data\nf,Z',Z''\n",
         r"header_only\.csv, line 2: expected rows of numbers"),
        ("four.csv", "1,2,3,4\n2,2,3,4\n",
         r"four\.csv, line 1: expected a header line .* exactly three columns"),
        ("unit.csv", "f / Hz,Z' / Ohm.cm2,Z'' / Ohm.cm2\n1,2,3\n",
         r"unit\.csv, line 1: column \"Z' / Ohm.cm2\": unit 'Ohm.cm2' not understood"),
        ("two_real.csv", "f,Z',Zreal,Z''\n1,2,2,3\n",
         r"two_real\.csv, line 1: two real columns"),
    ]  # fmt: skip
    for name, text, message in cases:
        with pytest.raises(ValueError, match=message):
            kt.read(_write(tmp_path, name, text))


def test_truncated_files(tmp_path):
    # cut inside a row: that row is short
    gamry = (SHARED_DATA / "exampleDataGamry.DTA").read_bytes()
    cut = gamry.index(b"\t30\t", gamry.index(b"ZCURVE"))
    path = tmp_path / "cut.DTA"
    path.write_bytes(gamry[: cut + 20])
    line = gamry[:cut].count(b"\n") + 1
    message = rf"cut\.DTA, line {line}: expected 11 values as on line 449, found"
    with pytest.raises(ValueError, match=message):
        kt.read(path)
    # cut inside a number
    message = r"line 3: expected a number in column \"Z''\", found '-3.1E'"
    with pytest.raises(ValueError, match=message):
        kt.read(_write(tmp_path, "cut.csv", "f,Z',Z''\n1,2,-3\n2,2,-3.1E"))
    # cut before a closing mark or inside a header that announces its length
    versa = (SHARED_DATA / "exampleDataVersaStudio.par").read_text(encoding="utf-8")
    path = _write(tmp_path, "cut.par", versa[: versa.index("</Segment1>")])
    with pytest.raises(ValueError, match=r"cut\.par, line \d+: expected </Segment1> closing"):
        kt.read(path)
    bio = (SHARED_DATA / "exampleDataBioLogic.mpt").read_bytes()
    path = tmp_path / "cut.mpt"
    path.write_bytes(b"\n".join(bio.split(b"\n")[:30]))
    with pytest.raises(ValueError, match=r"cut\.mpt, line 2: header of 61 lines announced"):
        kt.read(path)


def test_biologic_without_frequency_column_is_refused():
    # The names row lacks freq/Hz while every row still holds its value:
    # names and values would pair up one column off, so nothing is guessed.
    with pytest.raises(ValueError, match=r"MissingFreq\.mpt, line 61: expected a frequency column"):
        kt.read(SHARED_DATA / "exampleDataBioLogic_MissingFreq.mpt")


def test_encodings_and_line_ends(tmp_path):
    text = "Freq (Hz)\tZ' (Ω)\tZ'' (Ω)\r\n1000\t1,5\t-2,25\r\n10\t3\t-0,5\r\n"
    for encoding in ("utf-8", "utf-8-sig", "utf-16", "utf-16-le"):
        frame = kt.read(_write(tmp_path, f"{encoding}.txt", text, encoding))
        assert frame[REAL].tolist() == [1.5, 3.0] and frame[IMAG].tolist() == [-2.25, -0.5]
    latin = "freq/Hz;Re(Z)/Ohm;-Im(Z)/Ohm;Cs/µF\r1,0;2,0;3,0;4\r"  # old Mac line ends
    frame = kt.read(_write(tmp_path, "latin.txt", latin, "latin-1"))
    assert frame[IMAG].tolist() == [-3.0]


def test_fits_on_read_files():
    import korvane

    for path in (
        SHARED_DATA / "exampleDataGamry.DTA",
        SHARED_DATA / "exampleDataBioLogic.mpt",
        SHARED_DATA / "Circuit1_EIS_1.z",
        DATA / "nova_utf16.txt",
    ):
        result = korvane.Circuit("randles").fit(kt.read(path))
        assert math.isfinite(result.chi_square), path.name
        assert all(math.isfinite(v) for v in result.params.values())


def _sweep(freqs, offset=0.0):
    return "".join(f"{f:.6g},{10 + offset + i},{-1 - i}\n" for i, f in enumerate(freqs))


def test_sweeps_one_after_another_are_separate_spectra(tmp_path):
    down = np.logspace(5, -1, 29)
    path = _write(tmp_path, "four.csv", "f,Z',Z''\n" + "".join(_sweep(down, k) for k in range(4)))
    spectra = kt.read_spectra(path)
    assert [len(s) for s in spectra] == [29] * 4
    assert [s[REAL].iloc[0] for s in spectra] == [10, 11, 12, 13]
    with pytest.raises(ValueError, match=r"four\.csv holds 4 spectra.*read_spectra"):
        kt.read(path)
    # Up from 1 kHz to 100 kHz, then down to 0.2 Hz past 1 kHz again: one sweep
    # (as Zahner runs); the same run twice is two.
    zahner = np.concatenate((np.logspace(3, 5, 9), np.logspace(4.75, np.log10(0.2), 25)))
    one = kt.read_spectra(_write(tmp_path, "turn.csv", "f,Z',Z''\n" + _sweep(zahner)))
    assert [len(s) for s in one] == [34]
    twice = _write(tmp_path, "turn2.csv", "f,Z',Z''\n" + _sweep(zahner) + _sweep(zahner))
    assert [len(s) for s in kt.read_spectra(twice)] == [34, 34]
    # BioLogic cycle number 0 on every row: the restart still splits
    bio = (DATA / "biologic_fr_cycles.mpt").read_bytes().replace(b"1,000000000000000E+00", b"0")
    bio = bio.replace(b"2,000000000000000E+00", b"0")
    spectra = kt.read_spectra(_write(tmp_path, "zero.mpt", bio.decode("latin-1"), "latin-1"))
    assert [s["Cycle Count / 1"].tolist() for s in spectra] == [[0] * 6] * 2
    # 29 DC rows (frequency 0, impedance 0) ahead of 61 cycles of 41 points
    geis = kt.read_spectra(SHARED_DATA.parent / "instrument-files-more/biologic/yadg_geis.mpt")
    assert len(geis) == 61 and geis[0].attrs["skipped_rows"] == 29
    assert all((g[FREQUENCY] > 0).all() for g in geis)


def test_drift_corrected_columns_are_reported_and_read_on_request():
    raw = kt.read(DATA / "gamry_drift.DTA")
    assert raw[REAL].tolist() == [12.0001, 13.284, 59.826]
    assert raw.attrs["drift_corrected"] == {"columns": ["ZrealDrCor", "ZimagDrCor"], "read": False}
    assert "drift_corrected=True" in str(kt.check(raw))
    corrected = kt.read_spectra(DATA / "gamry_drift.DTA", drift_corrected=True)[0]
    assert corrected[REAL].tolist() == [12.0002, 13.2851, 59.9013]
    assert corrected[IMAG].tolist() == [-0.0795771, -7.74412, -2.90211]
    assert "Absolute Impedance / ohm" not in corrected  # the raw |Z| would disagree
    assert "drift-corrected columns ZrealDrCor" in str(kt.check(corrected))
    with pytest.raises(ValueError, match=r"two_sweeps\.DTA, line 5: expected drift-corrected"):
        kt.read_spectra(DATA / "gamry_two_sweeps.DTA", drift_corrected=True)


class _Counted(list):
    """Lines that count how often a parser looks at one."""

    looks = 0

    def __getitem__(self, i):
        _Counted.looks += 1
        return super().__getitem__(i)

    def __iter__(self):
        for line in super().__iter__():
            _Counted.looks += 1
            yield line


def test_large_inputs_take_one_pass(tmp_path):
    import tracemalloc

    from korvane_tools.readers import _formats

    # a segment opened again and again (a damaged file) before its one closing
    opening = "<Segment1>\nDefinition=Frequency(Hz),Z Real,Z Imag\n1000,1,-1\n" * 1000
    lines = _Counted(f"<Application>\n{opening}</Segment1>\n".split("\n"))
    _formats._versastudio(lines)
    assert _Counted.looks < 4 * len(lines)
    # many cycles: no full-length mask per cycle (that read took 15 MB here)
    rows = "".join(f"{1000 - i % 7},{i},-1,{i // 100}\n" for i in range(20_000))
    path = _write(tmp_path, "cycles.csv", "f,Z',Z'',cycle\n" + rows)
    kt.read_spectra(path)  # imports and caches out of the measurement
    tracemalloc.start()
    assert len(kt.read_spectra(path)) == 200
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 6e6, peak
    # a plain table: memory a small multiple of the file, not ten times it
    f = np.logspace(6, -2, 30_000)
    text = "freq,zreal,zimag\n" + "".join(f"{v:.10g},{v % 97:.10g},-{v % 13:.10g}\n" for v in f)
    path = _write(tmp_path, "big.csv", text)
    tracemalloc.start()
    frame = kt.read(path)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert len(frame) == 30_000 and frame[FREQUENCY].iloc[-1] == float(f"{f[-1]:.10g}")
    assert peak < 5 * path.stat().st_size, peak / path.stat().st_size
    # a line too long for a text row is refused before it is split
    with pytest.raises(ValueError, match=r"long\.csv, line 2: expected lines of text"):
        kt.read(_write(tmp_path, "long.csv", "f,Z',Z''\n" + "1," * 600_000 + "\n"))


@pytest.mark.skipif(not hasattr(__import__("os"), "mkfifo"), reason="no named pipes")
def test_only_regular_files_and_binary_streams_are_read(tmp_path):
    import io
    import os
    import threading

    fifo = tmp_path / "x.csv"
    os.mkfifo(fifo)
    outcome = []

    def run():
        try:
            kt.read(fifo)
        except OSError as err:
            outcome.append(str(err))

    reader = threading.Thread(target=run, daemon=True)
    reader.start()
    reader.join(10)
    if reader.is_alive():  # blocked on the pipe: let it go
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    assert outcome and "x.csv: expected a regular file, found a pipe" in outcome[0]
    with pytest.raises(OSError, match="found a directory"):
        kt.read(tmp_path)
    assert len(kt.read(io.BytesIO((DATA / "bdf.csv").read_bytes()))) == 7
    with open(DATA / "bdf.csv", "rb") as stream:
        assert kt.read(stream).attrs["source"].endswith("bdf.csv")


def test_cycle_values_are_kept_as_read(tmp_path, recwarn):
    def spectra(name, cycles):
        rows = "".join(f"{100 / (1 + i % 2)},{i},-1,{c}\n" for i, c in enumerate(cycles))
        found = kt.read_spectra(_write(tmp_path, name, "f,Z',Z'',cycle\n" + rows))
        return [(str(s.attrs["cycle"]), s[REAL].tolist()) for s in found]

    huge = spectra("huge.csv", ["1e19", "1e19", "2e19", "2e19", "inf", "-inf"])
    assert huge == [("1e+19", [0, 1]), ("2e+19", [2, 3]), ("inf", [4]), ("-inf", [5])]
    assert spectra("nan.csv", [1, 1, "nan", "nan", 2]) == [
        ("1.0", [0, 1]), ("nan", [2, 3]), ("2.0", [4])
    ]  # fmt: skip
    assert not recwarn.list


def test_names_and_values_pair_one_to_one(tmp_path):
    # a unit written apart belongs to its name
    text = "Freq (Hz)  Zre  Zim  Pt\n1000  5  -2  0\n10  6  -3  1\n"
    frame = kt.read(_write(tmp_path, "apart.txt", text))
    assert frame[REAL].tolist() == [5, 6] and frame[IMAG].tolist() == [-2, -3]
    apart = _write(tmp_path, "slash.txt", "f / Hz  Z' / Ohm  Z'' / Ohm\n1  2  -3\n")
    assert kt.read(apart)[IMAG].tolist() == [-3]
    for name, text in (
        ("more.txt", "f Z' Z'' Pt\n1 2 -3\n"),
        ("fewer.csv", "f,Z',Z''\n1,2,-3,4\n"),
    ):
        with pytest.raises(
            ValueError, match=rf"{name}, line 2: rows hold \d values but the header"
        ):
            kt.read(_write(tmp_path, name, text))


def test_odd_content_gives_a_value_error_naming_file_and_line(tmp_path):
    # a field over the csv module's limit, digits a backtracking pattern chokes on
    wide = "f,Z',Z''\n1,2,-3\n2,\"" + "7" * 200_000 + 'x",-3\n'
    with pytest.raises(
        ValueError, match=r"wide\.csv, line 3: expected a number in column \"Z'\", found '\"?7+'$"
    ):
        kt.read(_write(tmp_path, "wide.csv", wide))
    tiny = kt.read(_write(tmp_path, "exp.csv", "f,Z' / kOhm,Z''\n1,2E-" + "7" * 30 + ",-3\n"))
    assert tiny[REAL].tolist() == [0]  # an exponent beyond Decimal's range
    cut = tmp_path / "cut16.txt"
    cut.write_bytes((DATA / "nova_utf16.txt").read_bytes()[:-1])
    with pytest.raises(ValueError, match=r"cut16\.txt, line \d+: expected"):
        kt.read(cut)
    # a point count that is a digit to str.isdigit but no number
    path = tmp_path / "sq.DTA"
    path.write_bytes(
        (DATA / "gamry_two_sweeps.DTA").read_bytes().replace(b"TABLE\t2", b"TABLE\t\xb2")
    )
    assert [len(s) for s in kt.read_spectra(path)] == [3, 2]
    zplot = (SHARED_DATA / "Circuit1_EIS_1.z").read_bytes()
    path = tmp_path / "sq.z"
    path.write_bytes(re.sub(rb"(Data Points:\s+)48", "\\1²".encode(), zplot))
    assert len(kt.read(path)) == 48 and "points_planned" not in kt.read(path).attrs
    z60w = (SHARED_DATA / "exampleDataAutolab.txt").read_bytes().replace(b"\n41", "\n²".encode())
    path.write_bytes(z60w)
    with pytest.raises(ValueError, match=r"sq\.z, line \d+: expected a point count"):
        kt.read(path, format="zplot")


def test_damaged_files_read_or_are_refused_naming_the_file():
    from reader_fuzz_tool import run

    failures = []
    assert run(count=40, seed=11, say=failures.append) == 0, failures
