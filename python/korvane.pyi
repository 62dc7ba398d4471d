# Type stubs of the korvane extension module.
#
# The module's own docstrings are deliberately empty or terse; the docstrings
# here are what editors show instead, so they carry the units and signs.
# Installed as the stub-only package `korvane-stubs` (see CMakeLists.txt):
# mypy reads a stub of a single-file extension module only from such a
# package. `python -m mypy.stubtest korvane` checks this file against the
# built module.

from collections.abc import Sequence
from typing import (
    Any,
    ClassVar,
    Protocol,
    SupportsComplex,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    final,
    type_check_only,
)

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

__all__ = [
    "Element",
    "Circuit",
    "FitResult",
    "Series",
    "Parallel",
    "R",
    "C",
    "L",
    "La",
    "Cpe",
    "W",
    "Wo",
    "Ws",
    "G",
    "Gs",
    "K",
    "Zarc",
    "Tlmq",
    "T",
]

# A number as the module reads it: anything `float()` accepts (a float, an
# int, a NumPy scalar, an object with __float__ or __index__).
_Real: TypeAlias = SupportsFloat | SupportsIndex
# An item of an impedance sequence: anything `complex()` accepts.
_Complex: TypeAlias = SupportsComplex | SupportsFloat | SupportsIndex

@type_check_only
class _Numbers(Protocol):
    """A sequence of numbers (list, tuple, 1-D NumPy array, pandas Series); not a str."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Real: ...

@type_check_only
class _ComplexNumbers(Protocol):
    """A sequence of complex impedances in ohm (list, tuple, 1-D NumPy array)."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Complex: ...

@type_check_only
class _DataFrame(Protocol):
    """Anything that answers lookup by column name: a pandas or polars
    DataFrame, a dict of lists. Battery Data Format column names:
    "Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"
    (or "Absolute Impedance / ohm" and "Phase / deg"), or their snake-case
    forms "frequency_hertz", "real_impedance_ohm", ..."""

    def __getitem__(self, column: str, /) -> Any: ...

@disjoint_base
class Element:
    """A single circuit element.

    These are Python subclasses taking its fields as arguments.
    They are combined with `Series()` and `Parallel()`."""

    R: ClassVar[type[_R]]
    C: ClassVar[type[_C]]
    L: ClassVar[type[_L]]
    La: ClassVar[type[_La]]
    Cpe: ClassVar[type[_Cpe]]
    W: ClassVar[type[_W]]
    Wo: ClassVar[type[_Wo]]
    Ws: ClassVar[type[_Ws]]
    G: ClassVar[type[_G]]
    Gs: ClassVar[type[_Gs]]
    K: ClassVar[type[_K]]
    Zarc: ClassVar[type[_Zarc]]
    Tlmq: ClassVar[type[_Tlmq]]
    T: ClassVar[type[_T]]

# Each element class is published as korvane.<code> and Element.<code>; its
# __name__ is "Element_" + code, but no such module attribute exists. The stub
# names each class by the name it is reachable under, so that stubtest
# compares every class with the runtime one and the stub offers no name the
# module lacks.

@final
class R(Element):
    """Resistor: Z = r. r in ohm."""

    __match_args__ = ("r",)
    def __new__(cls, r: _Real) -> R: ...
    @property
    def r(self) -> float:
        """Resistance, ohm."""

@final
class C(Element):
    """Capacitor: Z = 1/(jωc). c in F."""

    __match_args__ = ("c",)
    def __new__(cls, c: _Real) -> C: ...
    @property
    def c(self) -> float:
        """Capacitance, F."""

@final
class L(Element):
    """Inductor: Z = jωl. l in H."""

    __match_args__ = ("l",)
    def __new__(cls, l: _Real) -> L: ...
    @property
    def l(self) -> float:
        """Inductance, H."""

@final
class La(Element):
    """Modified inductor: Z = (jωl)^alpha. l in H*s, alpha in [0, 1]."""

    __match_args__ = ("l", "alpha")
    def __new__(cls, l: _Real, alpha: _Real) -> La: ...
    @property
    def l(self) -> float:
        """Inductance, H*s."""
    @property
    def alpha(self) -> float:
        """Exponent, dimensionless, default bounds (0, 1)."""

@final
class Cpe(Element):
    """Constant-phase element: Z = 1/(q (jω)^alpha). q in ohm^-1*s^alpha."""

    __match_args__ = ("q", "alpha")
    def __new__(cls, q: _Real, alpha: _Real) -> Cpe: ...
    @property
    def q(self) -> float:
        """Coefficient, ohm^-1*s^alpha."""
    @property
    def alpha(self) -> float:
        """Exponent, dimensionless, default bounds (0, 1); 1 is a capacitor."""

@final
class W(Element):
    """Semi-infinite Warburg: Z = aw/√ω − j·aw/√ω. aw in ohm*s^-0.5."""

    __match_args__ = ("aw",)
    def __new__(cls, aw: _Real) -> W: ...
    @property
    def aw(self) -> float:
        """Warburg coefficient, ohm*s^-0.5."""

@final
class Wo(Element):
    """Finite-space (open) Warburg: Z = z0·coth(√(jωτ))/√(jωτ)."""

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: _Real, tau: _Real) -> Wo: ...
    @property
    def z0(self) -> float:
        """Diffusion resistance, ohm."""
    @property
    def tau(self) -> float:
        """Diffusion time constant, s."""

@final
class Ws(Element):
    """Finite-length (short) Warburg: Z = z0·tanh(√(jωτ))/√(jωτ)."""

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: _Real, tau: _Real) -> Ws: ...
    @property
    def z0(self) -> float:
        """Diffusion resistance, ohm."""
    @property
    def tau(self) -> float:
        """Diffusion time constant, s."""

@final
class G(Element):
    """Gerischer: Z = rg/√(1 + jω·tg)."""

    __match_args__ = ("rg", "tg")
    def __new__(cls, rg: _Real, tg: _Real) -> G: ...
    @property
    def rg(self) -> float:
        """Resistance, ohm."""
    @property
    def tg(self) -> float:
        """Time constant, s."""

@final
class Gs(Element):
    """Finite-length Gerischer: Z = rg/(√(1 + jω·tg)·tanh(phi·√(1 + jω·tg)))."""

    __match_args__ = ("rg", "tg", "phi")
    def __new__(cls, rg: _Real, tg: _Real, phi: _Real) -> Gs: ...
    @property
    def rg(self) -> float:
        """Resistance, ohm."""
    @property
    def tg(self) -> float:
        """Time constant, s."""
    @property
    def phi(self) -> float:
        """Thickness factor, dimensionless."""

@final
class K(Element):
    """Voigt (RC) element: Z = r/(1 + jω·tau_k); r in parallel with c = tau_k/r."""

    __match_args__ = ("r", "tau_k")
    def __new__(cls, r: _Real, tau_k: _Real) -> K: ...
    @property
    def r(self) -> float:
        """Resistance, ohm."""
    @property
    def tau_k(self) -> float:
        """Time constant, s."""

@final
class Zarc(Element):
    """ZARC (R parallel CPE): Z = r/(1 + (jω·tau_k)^gamma)."""

    __match_args__ = ("r", "tau_k", "gamma")
    def __new__(cls, r: _Real, tau_k: _Real, gamma: _Real) -> Zarc: ...
    @property
    def r(self) -> float:
        """Resistance, ohm."""
    @property
    def tau_k(self) -> float:
        """Time constant, s."""
    @property
    def gamma(self) -> float:
        """Exponent, dimensionless, default bounds (0, 1)."""

@final
class Tlmq(Element):
    """Transmission line with CPE interface: Z = √(r_ion·Zq)·coth(√(r_ion/Zq)),
    Zq = 1/(qs (jω)^gamma)."""

    __match_args__ = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: _Real, qs: _Real, gamma: _Real) -> Tlmq: ...
    @property
    def r_ion(self) -> float:
        """Ionic resistance, ohm."""
    @property
    def qs(self) -> float:
        """Interface CPE coefficient, F*s^(gamma-1)."""
    @property
    def gamma(self) -> float:
        """Exponent, dimensionless, default bounds (0, 1)."""

@final
class T(Element):
    """Transmission-line element: Z = (a·coth β + b·csch β)/β, β = √(k_tau + jω·tau)."""

    __match_args__ = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: _Real, b: _Real, k_tau: _Real, tau: _Real) -> T: ...
    @property
    def a(self) -> float:
        """ohm*m^2."""
    @property
    def b(self) -> float:
        """ohm*m^2."""
    @property
    def k_tau(self) -> float:
        """Dimensionless."""
    @property
    def tau(self) -> float:
        """Time constant, s."""

_R: TypeAlias = R
_C: TypeAlias = C
_L: TypeAlias = L
_La: TypeAlias = La
_Cpe: TypeAlias = Cpe
_W: TypeAlias = W
_Wo: TypeAlias = Wo
_Ws: TypeAlias = Ws
_G: TypeAlias = G
_Gs: TypeAlias = Gs
_K: TypeAlias = K
_Zarc: TypeAlias = Zarc
_Tlmq: TypeAlias = Tlmq
_T: TypeAlias = T

@final
class Circuit:
    """An immutable equivalent circuit.

    `s` is a circuit string such as "R0-(R1,CPE1)" (series '-', parallel
    '(a,b)' or 'p(a,b)', every element with a numeric label) or one of the
    names of `Circuit.ml_circuits()` ("randles", ...). Parsed elements start
    from placeholder values. Frequencies are in hertz, impedances in ohm with
    the imaginary part negative for a capacitive arc."""

    def __new__(cls, s: str) -> Circuit: ...
    @staticmethod
    def ml_circuits() -> list[str]:
        """Names accepted by the constructor that have trained initial-parameter
        models, and so get a guessed starting point from `fit()` by default."""
    def param_names(self) -> list[str]:
        """Parameter names ("R0.r", "CPE1.alpha"), in the same order
        `with_values()` consumes and `with_named_values()` expects as keys."""
    def param_values(self) -> list[float]:
        """Current parameter values, in `param_names()` order."""
    def param_bounds(self) -> list[tuple[float, float]]:
        """Default `(lo, hi)` bounds per parameter: (0, 1) for alpha and gamma,
        (1e-12, inf) otherwise."""
    def param_units(self) -> list[str]:
        """Unit text per parameter ("ohm", "F", "-", ...)."""
    def with_values(self, values: _Numbers) -> Circuit:
        """A new circuit with these values, assigned in `param_names()` order."""
    def with_named_values(self, values: dict[str, float]) -> Circuit:
        """A new circuit with values by name; every name must be present and
        no unknown name may be given."""
    def impedance(self, frequencies: _Numbers | _DataFrame) -> NDArray[np.complex128]:
        """Model impedance in ohm at each frequency in hertz (ω = 2πf), with
        the current values; Z = Z' + jZ'', Z'' < 0 for a capacitive arc."""
    def residuals(
        self,
        params: _Numbers,
        frequencies: _Numbers | _DataFrame,
        impedances: _ComplexNumbers | None = None,
        weight: str = "modulus",
    ) -> list[float]:
        """Weighted residuals (model − measured)/w, interleaved
        [re0, im0, re1, im1, ...]; `weight` "modulus" (w = |Z|) or "unit"
        (w = 1). Data: two sequences, or one dataframe with `impedances` None."""
    def jacobian(
        self,
        params: _Numbers,
        frequencies: _Numbers | _DataFrame,
        impedances: _ComplexNumbers | None = None,
        weight: str = "modulus",
    ) -> list[list[float]]:
        """Central-difference Jacobian of `residuals()`: 2·N rows, one column
        per parameter."""
    def guess(
        self,
        frequencies: _Numbers | _DataFrame,
        impedances: _ComplexNumbers | None = None,
        weights: str | None = None,
    ) -> list[float]:
        """The trained network's starting values, in `param_names()` order;
        `weights` is the path of a `.eisnn` file to use instead of the
        bundled models. Raises ValueError when no model fits the topology."""
    def fit(
        self,
        frequencies: _Numbers | _DataFrame,
        impedances: _ComplexNumbers | None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: str = "modulus",
        method: str = "levenberg_marquardt",
        max_iterations: SupportsIndex = 200,
        ftol: _Real = 1e-8,
        xtol: _Real = 1e-8,
        num_particles: SupportsIndex = 200,
        generations: SupportsIndex = 1000,
        nelder_mead_iterations: SupportsIndex = 2000,
        de_evaluations: SupportsIndex = 20000,
        sa_iterations: SupportsIndex = 5000,
        sa_initial_temperature: _Real = 2.0,
        basin_hopping_hops: SupportsIndex = 20,
        basin_hopping_step_size: _Real = 1.0,
        basin_hopping_temperature: _Real = 1.0,
        seed: SupportsIndex | None = None,
    ) -> FitResult:
        """Fit this circuit's parameters to a measured spectrum (frequencies in
        hertz, impedances in ohm, two sequences or one dataframe).

        `guess_init` None guesses starting values when the circuit carries none
        (warns if no trained model matches), True always guesses, False never.
        `method`: "levenberg_marquardt", "particle_swarm", "nelder_mead",
        "differential_evolution", "simulated_annealing", "basin_hopping"."""

@final
class FitResult:
    """The result of `Circuit.fit`; every attribute read returns a fresh copy."""

    @property
    def circuit(self) -> Circuit:
        """The input circuit with the fitted values."""
    @property
    def params(self) -> dict[str, float]:
        """Fitted value per parameter name."""
    @property
    def stderr(self) -> dict[str, float] | None:
        """Standard error per parameter name; None when there are no more
        residuals than parameters or JᵀJ is singular."""
    @property
    def success(self) -> bool:
        """Whether the method reported convergence."""
    @property
    def iterations(self) -> int:
        """Iterations performed (solver evaluations for least squares)."""
    @property
    def impedance_evals(self) -> int:
        """Evaluations of the whole residual vector, every stage included."""
    @property
    def cost(self) -> float:
        """½·Σ r² at the fitted parameters (weighted residuals)."""
    @property
    def chi_square(self) -> float:
        """Σ r² at the fitted parameters: 2·cost, not divided by the degrees of freedom."""

def Series(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits end to end."""

def Parallel(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits as parallel branches."""
