import importlib

import korvane_tools


def test_every_export_resolves_to_its_module():
    assert korvane_tools.__all__ == sorted(korvane_tools._EXPORTS)
    for name, module in korvane_tools._EXPORTS.items():
        importlib.import_module(f"korvane_tools.{module}")
        value = getattr(korvane_tools, name)
        assert value.__module__ == f"korvane_tools.{module}", name
        assert callable(value), name
