"""Optional panels: analyses that appear only when korvane_tools offers them.

Each panel is one card on the page and the callbacks behind it. A panel is
listed with the korvane_tools function it needs; the page shows it when
``hasattr(korvane_tools, name)``, so an older korvane_tools simply has fewer
cards.
"""

from __future__ import annotations

from typing import Any, Protocol

import korvane_tools


class Panel(Protocol):
    def layout(self) -> Any: ...

    def register(self, app: Any, session: Any) -> None: ...


#: korvane_tools function -> the panel that uses it.
PANELS: dict[str, type[Panel]] = {}


def available_panels() -> list[Panel]:
    return [panel() for name, panel in PANELS.items() if hasattr(korvane_tools, name)]
