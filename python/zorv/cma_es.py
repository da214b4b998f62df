"""CMA-ES that works on whole populations with NumPy array operations.

The standard algorithm with its default constants (recombination weights
with negative weights for the worse half, learning rates, damping), as in
Hansen's tutorial "The CMA Evolution Strategy" (arXiv:1604.00772). One
generation is one native call that draws and shapes all samples, one sort,
one native call that updates the mean, the two evolution paths and the
covariance matrix, and the step size's update. The covariance
matrix is decomposed only every few generations, as often as its learning
rates make worthwhile.

Every sum, product, exp and log that feeds its state is computed by
zorv._cmaes in a fixed order of operations, and its normal samples come from
its own generator (Normals): the same seed gives the same run, bit for bit,
on every machine, whichever BLAS and SIMD paths NumPy takes there. NumPy
does only what is exact everywhere: elementwise + - * / and sqrt, copies,
stable sorts, minima and maxima.

It minimises, like most optimisers: `ask` returns a (popsize, n) array,
`tell` takes one value per row, lower is better.
"""
from __future__ import annotations

import math
import numbers
from collections import deque
from collections.abc import Sequence
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from . import _cmaes
from .display.text import shown

Array = npt.NDArray[np.float64]

#: Stop when the step size times every standard deviation, and the
#: evolution path, are below this (the coordinates no longer move).
TOLX = 1e-11
#: Stop when the best values of recent generations and all values of the
#: current one lie within this of each other.
TOLFUN = 1e-11
#: Stop when the covariance matrix's condition number exceeds this.
MAX_CONDITION = 1e14

#: What each stop rule that `CMAES.stop` names means, in one line.
STOP_RULES: dict[str, str] = {
    "tolx": f"every value of the plans spreads by less than {TOLX:.0e}, and the evolution "
            "path is as short, so the plans no longer move",
    "tolfun": f"the best distances of the last generations and all of the latest one lie "
              f"within {TOLFUN:.0e} of each other, so the distance no longer improves",
    "conditioncov": "the covariance matrix became too ill-conditioned to go on (condition "
                    f"number {MAX_CONDITION:.0e})",
}


def default_popsize(dimension: int) -> int:
    return 4 + int(3 * _cmaes.log(dimension))


Seed = Union[int, Sequence[int]]


class Normals:
    """Standard normal samples from a xoshiro256** generator, drawn by a
    ziggurat: the same samples from the same state on every machine. Its
    state is four 64-bit words, seeded through NumPy's SeedSequence (integer
    hashing, the same everywhere) from an int or a sequence of ints."""

    def __init__(self, seed: Seed) -> None:
        words = np.asarray(np.random.SeedSequence(seed).generate_state(4, np.uint64),
                           dtype=np.uint64)
        if not words.any():
            words[0] = 1  # the generator's one forbidden state
        self.words: npt.NDArray[np.uint64] = words

    def standard_normal(self, shape: tuple[int, ...]) -> Array:
        out: Array = np.empty(shape)
        _cmaes.normals(self.words, out)
        return out

    def state(self) -> list[int]:
        words: list[int] = self.words.tolist()  # Python ints
        return words

    @classmethod
    def from_state(cls, data: object) -> Normals:
        """The generator of `state`'s data; ValueError for anything else."""
        _expect(isinstance(data, list) and len(data) == 4
                and all(_whole(w) and 0 <= w < 2**64 for w in data)
                and any(w != 0 for w in data),
                "the generator state must be four words of 64 bits, not all zero")
        normals = cls(0)
        normals.words = np.array(data, dtype=np.uint64)
        return normals


def _sum(values: Sequence[float]) -> float:
    """A sum in index order."""
    total = 0.0
    for value in values:
        total += value
    return total


def _power(base: float, exponent: int) -> float:
    """base ** exponent by squaring: products only, the same bits everywhere."""
    result, square = 1.0, base
    while exponent:
        if exponent & 1:
            result *= square
        square *= square
        exponent >>= 1
    return result


class CMAES:
    """One CMA-ES run from `mean` with step size `sigma`.

    `rng` is the only source of randomness: the same generator state gives
    the same run on every machine.
    """

    def __init__(self, mean: npt.ArrayLike, sigma: float, rng: Normals,
                 popsize: int | None = None, rank_mu_scale: float = 1.0) -> None:
        self.mean: Array = _frozen(np.array(mean, dtype=np.float64))
        n = self.dimension = self.mean.size
        if n < 1 or self.mean.ndim != 1:
            raise ValueError("the mean must be a nonempty vector")
        lam = self.popsize = default_popsize(n) if popsize is None else popsize
        if lam < 2:
            raise ValueError(f"popsize must be at least 2, got {lam}")
        if not (math.isfinite(sigma) and sigma > 0):
            raise ValueError(f"sigma must be a positive number, got {sigma}")
        if not (math.isfinite(rank_mu_scale) and rank_mu_scale > 0):
            raise ValueError(f"rank_mu_scale must be a positive number, got {rank_mu_scale}")
        self.sigma = float(sigma)
        self.rng = rng
        self.rank_mu_scale = rank_mu_scale

        # Recombination weights from the ranks: positive for the better
        # half (they sum to 1), negative for the worse half (active update).
        top = _cmaes.log((lam + 1) / 2)
        raw_list = [top - _cmaes.log(rank) for rank in range(1, lam + 1)]
        raw = np.array(raw_list)
        self.mu = lam // 2
        positive = [v for v in raw_list if v > 0]
        negative = [v for v in raw_list if v < 0]
        positive_sum, negative_sum = _sum(positive), _sum(negative)
        self.mueff = positive_sum ** 2 / _sum([v * v for v in positive])
        mueff = self.mueff

        self.cc = (4 + mueff / n) / (n + 4 + 2 * mueff / n)
        self.cs = (mueff + 2) / (n + mueff + 5)
        self.c1 = 2 / ((n + 1.3) ** 2 + mueff)
        # The rank-mu rate, scaled as asked (the worse half's weights below
        # follow from the scaled rate, as they do from the default one).
        self.cmu = min(1 - self.c1,
                       rank_mu_scale * (2 * (mueff - 2 + 1 / mueff) / ((n + 2) ** 2 + mueff)))
        self.damps = 1 + 2 * max(0.0, math.sqrt((mueff - 1) / (n + 1)) - 1) + self.cs
        self.chi_n = math.sqrt(n) * (1 - 1 / (4 * n) + 1 / (21 * n * n))

        weights = np.where(raw > 0, raw / positive_sum, 0.0)
        if negative and self.cmu > 0:
            mueff_negative = negative_sum ** 2 / _sum([v * v for v in negative])
            scale = min(1 + self.c1 / self.cmu,
                        1 + 2 * mueff_negative / (mueff + 2),
                        (1 - self.c1 - self.cmu) / (n * self.cmu))
            weights = np.where(raw < 0, raw * scale / -negative_sum, weights)
        self.weights: Array = weights
        # Constants of the updates, worked out once.
        self._ps_gain = math.sqrt(self.cs * (2 - self.cs) * mueff)
        self._pc_gain = math.sqrt(self.cc * (2 - self.cc) * mueff)
        self._h_sigma_limit = (1.4 + 2 / (n + 1)) * self.chi_n
        self._c_keep = 1 - self.c1 - self.cmu * _sum(weights.tolist())
        self._decompose_every = lam / (self.c1 + self.cmu) / n / 10
        self._rates = (self.cs, self._ps_gain, self.cc, self._pc_gain, self._h_sigma_limit,
                       self.c1, self.cmu, self._c_keep)

        # Its arrays are read-only: it replaces them rather than change them.
        self.pc: Array = _frozen(np.zeros(n))
        self.ps: Array = _frozen(np.zeros(n))
        self.C: Array = _frozen(np.eye(n))
        self.B: Array = _frozen(np.eye(n))
        self.D: Array = _frozen(np.ones(n))  # standard deviations along B's columns
        self._BD: Array = np.eye(n)
        self._ill_conditioned = False
        self.generation = 0
        self._decomposed_at = 0
        self._ps_bias_is_one = False
        # The best values of the generations that the flatness rule looks at.
        self._recent_bests: deque[float] = deque(maxlen=10 + math.ceil(30 * n / lam))
        self._last_range = (0.0, 0.0)  # of the last generation's values
        self._z: Array | None = None
        self._y: Array | None = None
        self._samples: tuple[Array, Array] | None = None

    def with_popsize(self, popsize: int) -> CMAES:
        """A CMAES that goes on from this one's distribution (mean, step
        size, covariance and its axes, paths), generation count, random
        numbers and recent bests, drawing `popsize` plans a generation, with
        the weights and learning rates of that population. Its flatness rule
        looks back over as many generations as this one's (so that a state
        saved from it loads into the same change of a fresh CMAES). Between
        generations only."""
        if self._z is not None:
            raise RuntimeError("with_popsize() between ask() and tell()")
        other = CMAES(self.mean, self.sigma, self.rng, popsize, self.rank_mu_scale)
        other.pc, other.ps, other.C = self.pc, self.ps, self.C
        other._set_axes(self.B, self.D)
        other.generation, other._decomposed_at = self.generation, self._decomposed_at
        other._recent_bests = deque(self._recent_bests, maxlen=self._recent_bests.maxlen)
        other._last_range = self._last_range
        return other

    def ask(self) -> Array:
        """The next population: popsize rows of `dimension` values."""
        shape = (self.popsize, self.dimension)
        # z and y stay with the optimizer until tell(), so the same two
        # arrays serve every generation: fresh ones of a large population
        # cost more in the system's page faults than drawing into them.
        if self._samples is None:
            self._samples = (np.empty(shape), np.empty(shape))
        z, y = self._samples
        x = np.empty(shape)
        # z standard normal, each row y = B D z distributed N(0, C), and the
        # plans x = mean + sigma y.
        _cmaes.sample(self.rng.words, self._BD, self.mean, self.sigma, z, y, x)
        self._z, self._y = z, y
        return x

    def ask_within(self, lower: float, upper: float, tries: int) -> Array:
        """The next population, as `ask` draws it, but with each row that
        has a value outside [lower, upper] drawn again, all such rows at
        once, up to `tries` times; rows still outside after that stay as
        drawn. The distribution then learns from the rows as returned."""
        x = self.ask()
        z, y = self._z, self._y
        assert z is not None and y is not None
        # Drawn again in blocks of at most an eighth of the population, so
        # that a generation holds little more than ask's own arrays; every
        # round in one native call.
        _cmaes.sample_again_outside(self.rng.words, self._BD, self.mean, self.sigma, z, y, x,
                                    lower, upper, tries, max(1, self.popsize // 8))
        return x

    def tell(self, values: npt.ArrayLike) -> None:
        """Updates the distribution from the values of the last population,
        one per row of `ask`'s array, in that order; lower is better."""
        if self._z is None or self._y is None:
            raise RuntimeError("tell() without a preceding ask()")
        f = np.asarray(values, dtype=np.float64)
        if f.shape != (self.popsize,):
            raise ValueError(f"expected {self.popsize} values, got shape {f.shape}")
        order = _ranks(f)  # best first
        n = self.dimension
        z, y = self._z, self._y
        self._z = self._y = None
        self.generation += 1
        ps_bias = self._ps_bias()

        # From the better rows' weighted mean step: the mean, and the paths
        # (ps in the sampling metric, |C^(-1/2) y| = |z|; pc stalled while
        # |ps| / ps_bias is too long for a path of random steps). Then
        # C = (keep C + c1 pc pc^T) + cmu sum of w y y^T over every row by its
        # rank's weight; the worse half's weights act on directions scaled to
        # length sqrt(n) in the sampling metric, so that they cannot make C
        # indefinite. New arrays, not changed in place: saved states hold
        # the old ones.
        old = (self.mean, self.ps, self.pc, self.C)
        new = (np.empty(n), np.empty(n), np.empty(n), np.empty((n, n)))
        ps_norm = _cmaes.update(self._rates, self.weights, self.mu, order, z, y, self._BD,
                                self.B, self.sigma, ps_bias, old, new)
        for array in new:
            _frozen(array)
        self.mean, self.ps, self.pc, self.C = new

        self.sigma *= _cmaes.exp((self.cs / self.damps) * (ps_norm / self.chi_n - 1))

        if self.generation - self._decomposed_at > self._decompose_every:
            self._decompose()
        self._recent_bests.append(float(f[order[0]]))
        self._last_range = (float(f[order[0]]), float(f[order[-1]]))

    def _ps_bias(self) -> float:
        """sqrt(1 - (1 - cs)^(2 generation)), the length that ps has grown
        to from zero, relative to its stationary length."""
        if self._ps_bias_is_one:
            return 1.0
        fading = _power(1 - self.cs, 2 * self.generation)
        # Below 2^-54, 1 - fading rounds to 1, and the power of every later
        # generation, smaller by at least the factor (1 - cs)^2 and within
        # a few units in the last place of its exact value, lies below it.
        self._ps_bias_is_one = fading < 2.0**-60
        return math.sqrt(1 - fading)

    def _decompose(self) -> None:
        self._decomposed_at = self.generation
        # C is exactly symmetric as it stands: the update writes each sum to
        # both triangles, and loaded states are made so.
        # Jacobi rotations from the last eigenbasis, in which C has changed
        # little since: a few sweeps.
        basis = self.B.copy()
        variances: Array = np.empty(self.dimension)
        _cmaes.eigen(self.C, basis, variances)
        # Rounding can push an eigenvalue to zero or below as C flattens
        # along a direction; keep C positive definite.
        floor = variances.max() / MAX_CONDITION
        if variances.min() < floor:
            variances = np.maximum(variances, floor)
            rebuilt: Array = np.empty_like(self.C)
            _cmaes.shape(basis * variances, basis, rebuilt)
            self.C = _frozen(np.triu(rebuilt) + np.triu(rebuilt, 1).T)
        self._set_axes(basis, np.sqrt(variances))

    def _set_axes(self, B: Array, D: Array) -> None:
        """The sampling's axes and their lengths, and what the stop rules
        need of them (worked out once: they change only here)."""
        self.B, self.D = _frozen(B), _frozen(D)
        self._BD = B * D
        self._ill_conditioned = bool(D.max() ** 2 >= MAX_CONDITION * D.min() ** 2)

    def save_state(self) -> dict[str, Any]:
        """Everything that the rest of the run depends on, as plain data:
        dicts, lists, numbers, strings and read-only float64 arrays (this
        CMAES replaces its arrays rather than change them, so a search can
        keep a state every generation without copying them), which
        JSON holds exactly as lists, floats through repr; `load_state`, also
        of the arrays as lists, on a CMAES of the same dimension and
        popsize goes on from it exactly as this one does. Between
        generations only: not between an ask and its tell."""
        if self._z is not None:
            raise RuntimeError("save_state() between ask() and tell()")
        return {
            "dimension": self.dimension,
            "popsize": self.popsize,
            "mean": self.mean,
            "sigma": self.sigma,
            "pc": self.pc,
            "ps": self.ps,
            "C": self.C,
            "B": self.B,
            "D": self.D,
            "generation": self.generation,
            "decomposed_at": self._decomposed_at,
            "recent_bests": list(self._recent_bests),
            "last_range": list(self._last_range),
            "rng": self.rng.state(),
        }

    def load_state(self, state: dict[str, Any]) -> None:
        """Continues from `save_state`'s data. Raises ValueError, changing
        nothing, for data that is not such a state of this CMAES's size."""
        n, lam = self.dimension, self.popsize
        _expect(isinstance(state, dict), "the optimizer state is not an object")
        expected = {"dimension", "popsize", "mean", "sigma", "pc", "ps", "C", "B", "D",
                    "generation", "decomposed_at", "recent_bests", "last_range", "rng"}
        _expect(set(state) == expected, "the optimizer state has other fields than a CMAES's")
        _expect(_whole(state["dimension"]) and _whole(state["popsize"])
                and state["dimension"] == n and state["popsize"] == lam,
                f"the optimizer state is of dimension {shown(state['dimension'], 40)} and "
                f"popsize {shown(state['popsize'], 40)}, not {n} and {lam}")
        mean, pc, ps, D = (_array(state[k], (n,), k) for k in ("mean", "pc", "ps", "D"))
        C, B = (_array(state[k], (n, n), k) for k in ("C", "B"))
        sigma = _array(state["sigma"], (), "sigma")
        _expect(float(sigma) > 0 and bool(np.all(D > 0)), "sigma and D must be positive")
        _check_axes(C, B, D)
        _expect(float(np.abs(mean).max()) <= _FARTHEST
                and float(sigma) * max(float(D.max()), float(np.abs(pc).max())) <= _FARTHEST,
                f"the mean and the steps sigma * D and sigma * pc must be at most {_FARTHEST:g}")
        growth = self.cs / self.damps * (math.hypot(*ps.tolist()) / self.chi_n - 1)
        _expect(growth <= math.log(_MOST_GROWTH), f"ps is so long that sigma would grow more "
                f"than {_MOST_GROWTH:g}-fold in a generation")
        generation, decomposed_at = state["generation"], state["decomposed_at"]
        _expect(all(_whole(v) for v in (generation, decomposed_at))
                and 0 <= decomposed_at <= generation, "bad generation counters")
        recent = _array(state["recent_bests"], None, "recent_bests")
        # One best per generation, the last ones that the flatness rule keeps.
        _expect(recent.ndim == 1
                and len(recent) == min(generation, self._recent_bests.maxlen or 0),
                "recent_bests does not hold the bests of the last generations")
        last_range = _array(state["last_range"], (2,), "last_range")
        _expect(bool(last_range[0] <= last_range[1])
                and (recent[-1] == last_range[0] if len(recent) else not last_range.any()),
                "last_range is not the range of the last generation's values")
        rng = Normals.from_state(state["rng"])
        C = np.triu(C) + np.triu(C, 1).T

        self.mean, self.pc, self.ps, self.C = _frozen(mean), _frozen(pc), _frozen(ps), _frozen(C)
        self._set_axes(B, D)
        self.sigma = float(sigma)
        self.generation, self._decomposed_at = int(generation), int(decomposed_at)
        self._ps_bias_is_one = False
        self._recent_bests.clear()
        self._recent_bests.extend(float(v) for v in recent)
        self._last_range = (float(last_range[0]), float(last_range[1]))
        self.rng = rng
        self._z = self._y = None

    def stop(self) -> list[str]:
        """The names of the stop rules that hold now (empty: go on)."""
        reasons = []
        # C[0, 0] first: no larger than the largest variance, it mostly
        # answers no at once.
        if (self.generation > 0
                and self.sigma * math.sqrt(float(self.C[0, 0])) < TOLX
                and self.sigma * math.sqrt(float(self.C.diagonal().max())) < TOLX
                and self.sigma * float(np.abs(self.pc).max()) < TOLX):
            reasons.append("tolx")
        if len(self._recent_bests) >= 2:
            values = (*self._recent_bests, *self._last_range)
            if max(values) - min(values) < TOLFUN:
                reasons.append("tolfun")
        if self._ill_conditioned:
            reasons.append("conditioncov")
        return reasons


def _ranks(values: Array) -> npt.NDArray[np.intp]:
    """The stable argsort of `values`, in one native call: a radix sort,
    as fast with ties as without."""
    order: npt.NDArray[np.intp] = np.empty(len(values), dtype=np.intp)
    _cmaes.ranks(np.ascontiguousarray(values), order)
    return order


def _frozen(array: Array) -> Array:
    """`array`, made read-only."""
    array.setflags(write=False)
    return array


def _expect(condition: bool, message: str) -> None:
    if not condition:
        raise ValueError(message)


def _whole(value: object) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


#: How far a loaded covariance matrix may lie from the one its axes and
#: their lengths (B and D) describe: the eigenvalues of C in the axes'
#: metric, D^-1 B^T C B D^-1, lie within [1 / this, this]. C moves between
#: decompositions, but only as far as the selected samples spread (in runs
#: they stay within about [0.35, 1.6]); an edited D, or a C out of scale,
#: lies orders of magnitude off.
_AXES_SLACK = 1e6
#: The largest mean value and steps sigma * D and sigma * pc of a loaded
#: state: its samples lie about as far out, and from about 1e150 on their
#: squares, which the penalty on points outside the box sums, overflow
#: (zorv.searching.settings's MAX_SIGMA0 keeps searches far below this).
_FARTHEST = 1e140
#: The most that the step size of a loaded state may grow in its next
#: generation: it grows by e^((cs / damps) (|ps| / chi_n - 1)), in runs
#: of 8 to 65,536 plans a generation 1.5-fold at most, since damps grows
#: with the population as the path can.
_MOST_GROWTH = 1e10
#: How far B^T B of a loaded state may lie from the identity (runs keep it
#: within about 1e-11).
_ORTHONORMAL_TOLERANCE = 1e-6


def _check_axes(C: Array, B: Array, D: Array) -> None:
    """ValueError unless C is symmetric and positive definite, B
    orthonormal, and C consistent with B and D: what every state of a run
    holds. NumPy's LAPACK and BLAS only check here: the run's own numbers
    never come from them."""
    _expect(bool(np.array_equal(C, C.T)), "C must be symmetric")
    try:
        np.linalg.cholesky(C)
    except np.linalg.LinAlgError:
        raise ValueError("C must be positive definite") from None
    # Finite entries may still overflow in the products: NaN and infinities
    # fail the comparisons.
    with np.errstate(all="ignore"):
        off_orthonormal = float(np.abs(B.T @ B - np.eye(len(D))).max())
        _expect(off_orthonormal <= _ORTHONORMAL_TOLERANCE, "B must be orthonormal")
        in_axes = (B.T @ C @ B) / np.outer(D, D)
    _expect(bool(np.all(np.isfinite(in_axes))), "D does not match C")
    scales = np.linalg.eigvalsh((in_axes + in_axes.T) / 2)
    _expect(1 / _AXES_SLACK <= float(scales.min()) and float(scales.max()) <= _AXES_SLACK,
            "D does not match C")


def _array(data: object, shape: tuple[int, ...] | None, name: str) -> Array:
    """Finite float64 values of the given shape, from nested lists of numbers."""
    def numbers_only(value: object) -> bool:
        if isinstance(value, np.ndarray):
            return bool(value.dtype == np.float64)
        if isinstance(value, list):
            return all(numbers_only(v) for v in value)
        return isinstance(value, (int, float)) and not isinstance(value, bool)

    _expect(numbers_only(data), f"{name} must hold numbers only")
    try:
        array = np.array(data, dtype=np.float64)
    except (ValueError, OverflowError):
        raise ValueError(f"{name} is not an array of numbers") from None
    _expect(shape is None or array.shape == shape, f"{name} must have shape {shape}")
    _expect(bool(np.all(np.isfinite(array))), f"{name} must be finite")
    return array
