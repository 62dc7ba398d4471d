"""Binary, container, spreadsheet and older text formats.

Expected values are the numbers as the file stores them (the JSON text of a
.pssession, the 64-bit floats of an .ism, the rows of an .idf) or, for
.mpr files, their EC-Lab text export, so a reader that shifts a column,
drops a row, mis-scales or turns a sign fails.
"""

import math
import zipfile
from pathlib import Path

import korvane_tools as kt
import numpy as np
import pytest
from korvane_tools._data import FREQUENCY, IMAG, MODULUS, PHASE, REAL
from shared_data import SHARED_DATA

LOCAL = Path(__file__).parent / "data" / "instruments"
MORE = SHARED_DATA.parent / "instrument-files-more"


def _sample(relative):
    """The permissive samples are copied beside the tests; the others stay in shared/."""
    for path in (LOCAL / Path(relative).name, MORE / relative):
        if path.is_file():
            return path
    pytest.skip(f"{relative} not available (shared/ absent)")


def _f32(*values):
    """The exact values of 32-bit floats written in their shortest form."""
    return tuple(float(np.float32(v)) for v in values)


# file, format, spectra, points in the first, first point and last point
# of the last spectrum: (f, Z', Z'') in the physics sign, or for .ism
# (f, |Z|, phase in radians) as stored.
SAMPLES = [
    ("pssession/palmsenssdk_eis_5freq.pssession", "palmsens", 1, 5,
     (200000.0, 569.666, -32.340022), (19.999997999999998, 10603.932, -405.591)),
    # 3 multiplexer channels x 4 DC potentials
    ("pssession/palmsenssdk_eis_3ch_4scan_5freq.pssession", "palmsens", 12, 5,
     (200000.0, 566.383, -32.318376), (19.999997999999998, 10567.941, -376.368)),
    # lower-case keys; DPV and CV measurements passed over
    ("pssession/palmsenssdk_Demo CV DPV EIS IS-C electrode.pssession", "palmsens", 1, 71,
     (1000000.0, 112.354, -29.8389), (0.1, 14895.7, -3269.04)),
    ("pssession/psdatapy_EIS dummy cell.pssession", "palmsens", 1, 71,
     (1000000.0, 191.499, 19.0327), (0.1, 25060.4, -146.948)),
    ("pssession/nomadce_11_PEIS_700mV.pssession", "palmsens", 1, 64,
     (200000.0, 108.62607458741864, -1.1922329468435031),
     (0.10000000149011612, 2477.2258158770023, -1880.8956613293333)),
    ("ivium/impedancepy_exampleDataIvium.idf", "ivium", 1, 26,
     (1.00000e5, 1.37548e1, -1.87976), (1.00000, 9.28463e1, -1.67393e1)),
    ("zahner/zahneranalysis_rc-data.ism", "zahner", 1, 75,
     (1049.3, 1031506.2598034729, -1.5426409777314352),
     (0.2, 99532618.28267004, -0.019428335242224447)),
    ("zahner/zahneranalysis_500uR_measurement_pro.ism", "zahner", 1, 250,
     (1028.7, 0.0005129651977628585, 0.010535681652630266),
     (1.0, 0.0005117749466914403, -0.00028155363262084767)),
    ("zahner/zahneranalysis_drift.ism", "zahner", 1, 47,
     (50000.0, 41.27260050510183, 0.9682242141231516),
     (0.1, 1651.4889463375653, -0.009829516496208082)),
    ("zahner/zahneranalysis_li-ion-battery.ism", "zahner", 1, 128,
     (0.0005, 0.67871, -0.9100146719898441), (5000.0, 0.03634600000000001, 0.7159340591680741)),
    ("zahner/nomadce_02_peis_ocv.ism", "zahner", 1, 66,
     (200000.0, 0.0894768856262331, 0.9426338935498892),
     (0.1, 545.8823168957875, -0.9569958260203579)),
    ("zahner/nomadce_geis-100ma.ism", "zahner", 1, 33,
     (200000.0, 0.05063425726521877, -2.720383971823143),
     (1.0, 0.14289404264840436, -0.37350802514632203)),
    # newer module layout, unknown column ids 430-433 and 471; cycle 4 spans
    # two techniques (Ns 0 and 1): 12 sweeps of 19 points
    ("biologic/nomadce_PEIS_nesd.mpr", "biologic-mpr", 12, 19,
     _f32(1000.3202, 1489.2513, -134.55644), _f32(1.0000639, 5075.621, -178.0381)),
    ("biologic/nomadce_GEIS_nesd.mpr", "biologic-mpr", 12, 19,
     _f32(1000.3202, 1488.2365, -131.77322), _f32(1.0000639, 5056.366, -173.03236)),
    # a text export: a parameter line between the titles and the rows
    ("relaxis/hybriddrt_PEIS_LPSCl_IonBlocking_-25C_RelaxIS.txt", "relaxis", 1, 79,
     (0.10002180933952332, 1799427.625, -8093785.5),
     (7000018.5, 359.241455078125, -290.92037963867188)),
]  # fmt: skip


@pytest.mark.parametrize("relative, fmt, count, points, first, last", SAMPLES)
def test_samples(relative, fmt, count, points, first, last):
    path = _sample(relative)
    spectra = kt.read_spectra(path)
    assert [s.attrs["format"] for s in spectra] == [fmt] * count
    assert len(spectra[0]) == points
    if fmt == "zahner":
        head, tail = spectra[0].iloc[0], spectra[-1].iloc[-1]
        for row, (f, modulus, phase) in ((head, first), (tail, last)):
            assert (row[FREQUENCY], row[MODULUS]) == (f, modulus)
            assert row[PHASE] == pytest.approx(math.degrees(phase), rel=1e-15)
            z = modulus * complex(math.cos(phase), math.sin(phase))
            assert (row[REAL], row[IMAG]) == pytest.approx((z.real, z.imag), rel=1e-14)
    else:
        assert tuple(spectra[0][[FREQUENCY, REAL, IMAG]].iloc[0]) == first
        assert tuple(spectra[-1][[FREQUENCY, REAL, IMAG]].iloc[-1]) == last
    if count > 1:
        with pytest.raises(ValueError, match=f"holds {count} spectra.*read_spectra"):
            kt.read(path)


def test_zahner_keeps_the_stored_order():
    frame = kt.read(_sample("zahner/zahneranalysis_rc-data.ism"))
    freq = frame[FREQUENCY].to_numpy()
    top = int(np.argmax(freq))
    # up from about 1 kHz to 100 kHz, then down to 0.2 Hz
    assert 0 < top < len(freq) - 1 and freq[top] == pytest.approx(1e5, rel=0.01)
    assert np.all(np.diff(freq[: top + 1]) > 0) and np.all(np.diff(freq[top:]) < 0)


def test_palmsens_channels_and_subscans():
    spectra = kt.read_spectra(_sample("pssession/palmsenssdk_eis_3ch_4scan_5freq.pssession"))
    channels = [s.attrs["channel"].split(":")[0] for s in spectra]
    assert channels == ["CH 3"] * 4 + ["CH 5"] * 4 + ["CH 8"] * 4
    assert [s.attrs["curve"] for s in spectra[:4]] == [f"E={e} V" for e in
                                                       ("0.000", "0.200", "0.400", "0.600")]  # fmt: skip
    assert spectra[1]["Voltage / V"].iloc[0] == 0.20000000298023224
    # Idc is stored in microampere
    assert spectra[1]["Current / A"].iloc[0] == pytest.approx(0.24332964)


# .mpr against the EC-Lab text export of the same run: every value equal at
# the export's precision (8 significant digits; time 16, to the last digit).
MPR_TWINS = [
    ("biologic/impedancepy_exampleDataBioLogic.mpr", SHARED_DATA / "exampleDataBioLogic.mpt"),
    ("biologic/yadg_peis.mpr", MORE / "biologic" / "yadg_peis.mpt"),
    ("biologic/yadg_peis.issue_149.mpr", MORE / "biologic" / "yadg_peis.issue_149.mpt"),
    ("biologic/yadg_geis.issue_149.mpr", MORE / "biologic" / "yadg_geis.issue_149.mpt"),
]


@pytest.mark.parametrize("binary, text", MPR_TWINS)
def test_mpr_matches_its_text_export(binary, text):
    if not text.is_file():
        pytest.skip(f"{text} not available")
    spectra, exported = kt.read_spectra(_sample(binary)), kt.read_spectra(text)
    assert len(spectra) == len(exported)
    for ours, theirs in zip(spectra, exported):
        assert ours.attrs.get("cycle") == theirs.attrs.get("cycle")
        assert sorted(ours.columns) == sorted(theirs.columns)
        for column in theirs.columns:
            if column == "Test Time / s":  # EC-Lab's 16th digit is off by one at times
                assert ours[column].tolist() == pytest.approx(theirs[column].tolist(), rel=1e-15)
                continue
            rounded = [float(f"{v:.7e}") for v in ours[column]]
            assert rounded == theirs[column].tolist(), column


@pytest.mark.parametrize(
    "replaced, lost",
    [
        ({8: 999}, []),  # one unknown id (Cs/µF): sized by the row's remainder
        ({8: 998, 9: 999}, []),  # two, together 8 bytes: 4 each
        # time and cycle (8 bytes each) as unknowns: 16 bytes for two is not 4
        # each, so the columns from the first of them on cannot be placed
        ({5: 998, 10: 999}, ["Test Time / s", "Voltage / V", "Current / A", "Cycle Count / 1"]),
    ],
)
def test_mpr_unknown_column_ids(tmp_path, replaced, lost):
    source = _sample("biologic/impedancepy_exampleDataBioLogic.mpr")
    raw = bytearray(source.read_bytes())
    ids = raw.index(b"MODULEVMP data") + 57 + 5  # older layout: 16-byte header, count in one byte
    for position, new in replaced.items():
        raw[ids + 2 * position : ids + 2 * position + 2] = new.to_bytes(2, "little")
    path = tmp_path / "unknown.mpr"
    path.write_bytes(bytes(raw))
    expected = kt.read(source).drop(columns=lost)
    assert kt.read(path).equals(expected)


def test_mpr_without_rows_is_an_error():
    path = MORE / "biologic" / "chemotion_CHD048_CHD050_60C_C01.mpr"
    if not path.is_file():
        pytest.skip("shared/ absent")
    for reader in (kt.read, kt.read_spectra):
        with pytest.raises(ValueError, match=r"C01\.mpr.*holds 0 rows"):
            reader(path)


def _ivium_scan(method, rows):
    """One scan as Ivium writes it: sections led by a length word and a CR."""
    body = "".join(f"{' '.join(f'{v:.5E}' for v in row)} \r\n" for row in rows)
    return (
        b"\x20\x00\x00\x00\r\x00Version=15\r\nMethod=" + method.encode() + b"\r\nTitle=t\r\n"
        b"\xfe\x88\x00\x00\r\x00primary_data    \r\x003         \r\n"
        + f"{len(rows)}        \r\n{body}".encode()
        + b"osc_data    \r\x002\r\n1\r\n0.1 0.2\r\n"
    )


def test_ivium_data_set_and_damage(tmp_path):
    first = [(100.0, -1.5, 1e5), (200.0, -20.25, 10.0)]
    second = [(110.0, -2.5, 1e5), (210.0, -21.0, 10.0), (250.0, -30.0, 1.0)]
    cv = [(0.1, 1e-6, 0.0), (0.2, 2e-6, 1.0)]
    ids = tmp_path / "set.ids"
    ids.write_bytes(
        _ivium_scan("Impedance", first) + _ivium_scan("CyclicVoltammetry", cv)
        + _ivium_scan("Impedance", second)
    )  # fmt: skip
    spectra = kt.read_spectra(ids)
    assert [s.attrs["scan"] for s in spectra] == [0, 1]
    for frame, rows in zip(spectra, (first, second)):
        assert frame[[REAL, IMAG, FREQUENCY]].to_numpy().tolist() == [list(r) for r in rows]
    # cut off inside the rows of the sample .idf: the announced count decides
    raw = _sample("ivium/impedancepy_exampleDataIvium.idf").read_bytes()
    cut = tmp_path / "cut.idf"
    cut.write_bytes(raw[: raw.index(b"primary_data") + 300])
    with pytest.raises(ValueError, match=r"cut\.idf.*expected 26 data rows"):
        kt.read(cut)


@pytest.mark.parametrize(
    "relative, keep, message",
    [
        ("biologic/impedancepy_exampleDataBioLogic.mpr", 4000, "module 'VMP data'.*cut off"),
        ("zahner/zahneranalysis_drift.ism", 1000, "announces 47 points.*cut off"),
    ],
)
def test_cut_off_binary_files(tmp_path, relative, keep, message):
    source = _sample(relative)
    path = tmp_path / source.name
    path.write_bytes(source.read_bytes()[:keep])
    with pytest.raises(ValueError, match=message):
        kt.read(path)


def test_unsupported_files_are_named_not_dumped(tmp_path):
    rng = np.random.default_rng(5)
    archive = tmp_path / "data.zip"
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("spectrum.csv", "f,zreal,zimag\n1,2,3\n")
    image = tmp_path / "plot.png"
    image.write_bytes(b"\x89PNG\r\n\x1a\n" + rng.bytes(300))
    noise = tmp_path / "noise.mpr"
    noise.write_bytes(rng.bytes(300))
    for path, kind in ((archive, "a zip archive"), (image, "a PNG image"), (noise, "binary data")):
        with pytest.raises(kt.UnsupportedFormatError) as caught:
            kt.read_spectra(path)
        text = str(caught.value)
        assert f"{path.name}: unsupported format: the file is {kind}" in text
        assert all(ext in text for ext in (".mpr", ".ism", ".pssession", ".idf", ".xlsx"))
        assert text.isascii() and "\\x" not in text
    assert "extension '.mpr' suggests biologic-mpr" in str(caught.value)
    with pytest.raises(
        kt.UnsupportedFormatError, match="format='csv' reads text, but the file is a PNG"
    ):
        kt.read(image, format="csv")


# -- spreadsheets -------------------------------------------------------------

FODS = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2"
 office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:body><office:spreadsheet><table:table table:name="Data">{rows}</table:table>
</office:spreadsheet></office:body></office:document>
"""


def _fods_cell(value):
    if isinstance(value, str):
        return f'<table:table-cell office:value-type="string"><text:p>{value}</text:p></table:table-cell>'
    return f'<table:table-cell office:value-type="float" office:value="{value!r}"/>'


@pytest.mark.parametrize("suffix", [".xlsx", ".ods", ".fods"])
def test_spreadsheets(tmp_path, suffix):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("openpyxl" if suffix == ".xlsx" else "odf")
    # a preamble row, the names row, a sign-flipped column, two cycles
    rows = [["Exported spectrum"], ["freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm", "cycle number"],
            [1000.3201, 65.470886, 0.38998979, 1], [0.01689554, 110.97003, 2.3458567, 1],
            [1000.5, 66.25, 0.5, 2], [0.125, 112.5, 2.75, 2]]  # fmt: skip
    path = tmp_path / f"spectrum{suffix}"
    if suffix == ".fods":
        body = "".join(
            f"<table:table-row>{''.join(map(_fods_cell, r))}</table:table-row>" for r in rows
        )
        path.write_text(FODS.format(rows=body))
    else:
        with pd.ExcelWriter(path, engine="openpyxl" if suffix == ".xlsx" else "odf") as out:
            pd.DataFrame([["notes only"]]).to_excel(
                out, sheet_name="Notes", header=False, index=False
            )
            padded = [r + [None] * (4 - len(r)) for r in rows]
            pd.DataFrame(padded).to_excel(out, sheet_name="Data", header=False, index=False)
    spectra = kt.read_spectra(path)
    assert [(s.attrs["format"], s.attrs["sheet"], s.attrs["cycle"]) for s in spectra] == [
        ("spreadsheet", "Data", 1), ("spreadsheet", "Data", 2)]  # fmt: skip
    values = [s[[FREQUENCY, REAL, IMAG]].to_numpy().tolist() for s in spectra]
    assert values == [
        [[r[0], r[1], -r[2]] for r in rows[2:4]],
        [[r[0], r[1], -r[2]] for r in rows[4:]],
    ]
    assert spectra[0].attrs["columns"][IMAG] == "-Im(Z)/Ohm (negated)"


# -- older text layouts -------------------------------------------------------

TABLE = [(1000.0, 10.5, -0.5), (100.0, 11.25, -2.5), (10.0, 20.125, -7.75)]
_ROWS = "".join(f"{f} {a} {b}\n" for f, a, b in TABLE)
_VALUES = "".join(f"{v}\n" for row in TABLE for v in row)
_TABBED = "".join(f"{f}\t{a}\t{b}\n" for f, a, b in TABLE)
_TITLES = "Data: Frequency\tData: Z'\tData: Z''\n"
_RELAXIS = f"RelaxIS 3.0 Spectrum export\nDate: today\n{_TITLES}"


@pytest.mark.parametrize(
    "text, fmt, spectra",
    [
        (f"sample A\nfreq Zre Zim\n3\n{_ROWS}", "counted", 1),
        (f"3\n{_ROWS}3\n{_ROWS}", "counted", 2),
        (f"sample A\n3\n{_VALUES}", "grouped", 1),
        (_VALUES, "grouped", 1),
        # each parameter line starts a spectrum (titles repeated or not); a decimal comma
        (
            f"{_RELAXIS}DC=0,5, TM=25\tModel: m\ta\n{_TABBED}{_TITLES}DC=1, TM=25\tb\n{_TABBED}",
            "relaxis",
            2,
        ),
    ],
)
def test_counted_and_grouped_text(tmp_path, text, fmt, spectra):
    path = tmp_path / "old.txt"
    path.write_text(text)
    frames = kt.read_spectra(path)
    assert [f.attrs["format"] for f in frames] == [fmt] * spectra
    for frame in frames:
        assert frame[[FREQUENCY, REAL, IMAG]].to_numpy().tolist() == [list(r) for r in TABLE]
    if fmt == "relaxis":
        assert [f.attrs["parameters"] for f in frames] == [
            {"DC": 0.5, "TM": 25},
            {"DC": 1, "TM": 25},
        ]
        assert [f.attrs.get("model") for f in frames] == ["m", None]
        assert [f.attrs["title"] for f in frames] == ["a", "b"]


@pytest.mark.parametrize(
    "text, message",
    [
        (f"title\n4\n{_ROWS}", r"line 5: expected 4 data rows"),
        ("9\n" + _VALUES.rsplit("\n", 2)[0] + "\n", r"not whole points of three"),
    ],
)
def test_counted_and_grouped_text_cut_off(tmp_path, text, message):
    path = tmp_path / "old.txt"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        kt.read(path)


def test_random_bytes_never_crash(tmp_path):
    # Damaged headers of each binary format: a clear ValueError, never another error.
    rng = np.random.default_rng(11)
    for relative in (
        "biologic/impedancepy_exampleDataBioLogic.mpr",
        "zahner/zahneranalysis_drift.ism",
    ):
        raw = bytearray(_sample(relative).read_bytes())
        for trial in range(20):
            damaged = bytearray(raw)
            at = rng.integers(len(raw) // 4, size=4)
            damaged[at[0] : at[0] + 4] = rng.bytes(4)
            path = tmp_path / f"{trial}{Path(relative).suffix}"
            path.write_bytes(bytes(damaged))
            try:
                kt.read_spectra(path)
            except ValueError:
                pass
