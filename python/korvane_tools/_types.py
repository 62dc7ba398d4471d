"""The one shape of a fit result that the companion's consumers rely on.

``korvane.FitResult`` (from ``Circuit.fit``) and
:class:`korvane_tools.ConstrainedFitResult` (from :func:`korvane_tools.fit`)
both satisfy :class:`FitLike`; plotting, reports and saving are typed against
it, so either result goes wherever a fit is expected.
"""

from __future__ import annotations

from typing import Protocol, runtime_checkable

import korvane

__all__ = ["FitLike"]


@runtime_checkable
class FitLike(Protocol):
    """The attributes every fit result has, read-only."""

    @property
    def circuit(self) -> korvane.Circuit: ...
    @property
    def params(self) -> dict[str, float]: ...
    @property
    def stderr(self) -> dict[str, float] | None: ...
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...
