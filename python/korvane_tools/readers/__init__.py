"""Instrument-file readers behind :func:`korvane_tools.read`.

``_text`` decodes and splits text, ``_formats`` locates each format's table,
``_columns`` turns a table into Battery Data Format columns.
"""
