"""Optimizers named as the command line names them, with settings of their
own:

    builtin | pycma | cmaes [:KEY=VALUE,...]
    nevergrad:OPTIMIZER[,KEY=VALUE,...]
    MODULE:FACTORY[,KEY=VALUE,...]

builtin is zorv's CMA-ES, pycma the cma package's and cmaes the cmaes
package's; nevergrad:OPTIMIZER is any optimizer of Nevergrad's registry;
anything else with a colon is one's own optimizer: FACTORY (an attribute
path) in the module MODULE (a dotted path, found on Python's import path or
in the current folder), a function of (settings, run) that makes each
run's optimizer, as `zorv.search(optimizer=...)` takes it. Each KEY is a
field of SearchSettings, its VALUE read as that field's type ("none" for
one that may be None), such as builtin:restart_schedule=ipop,popsize=64.
The seed and the budget are the command's, the same for every optimizer.

Parsing checks the text alone; `optimizer_factory` imports what it names.
"""
from __future__ import annotations

import difflib
import importlib
import os
import sys
from dataclasses import dataclass, fields, replace
from typing import Any

from ..machine.libraries import import_library
from ..optimizers import OptimizerFactory
from .adapters import CmaesOptimizer, nevergrad_factory, nevergrad_names
from .settings import BUILTIN, PYCMA, InvalidSetting, SearchSettings

#: The optimizers named by a word alone, and the library behind each name.
CMAES, NEVERGRAD = "cmaes", "nevergrad"
NAMED = (BUILTIN, PYCMA, CMAES)
#: One's own optimizer: a factory in a module.
OWN = "own"
#: Settings that the command gives every optimizer alike.
SHARED_SETTINGS = ("optimizer", "seed", "generations", "evaluations")
#: How the grammar is shown in messages.
FORMS = "builtin, pycma, cmaes, nevergrad:OPTIMIZER or MODULE:FACTORY"


class OptimizerSpecError(ValueError):
    """An optimizer's name that cannot be used; the message is one line."""


@dataclass(frozen=True)
class OptimizerSpec:
    """An optimizer as the command line names it."""

    label: str
    """The text as given: what a study calls the optimizer's runs."""
    kind: str
    """BUILTIN, PYCMA, CMAES, NEVERGRAD or OWN."""
    target: str = ""
    """Nevergrad's name of the optimizer, or one's own MODULE:FACTORY."""
    settings: tuple[tuple[str, Any], ...] = ()
    """The settings given after the name, (field, value) in their order."""

    @property
    def name(self) -> str:
        """The name that the settings of its searches give the optimizer:
        the label without its settings."""
        if self.kind == NEVERGRAD:
            return f"{NEVERGRAD}:{self.target}"
        return self.target if self.kind == OWN else self.kind

    def settings_for(self, base: SearchSettings) -> SearchSettings:
        """`base` with this optimizer's name and its own settings;
        OptimizerSpecError (one line) where they do not go together."""
        try:
            return replace(base, optimizer=self.name, **dict(self.settings))
        except InvalidSetting as error:
            raise OptimizerSpecError(f"optimizer {self.label!r}: {error}") from None
        except ValueError as error:
            raise OptimizerSpecError(f"optimizer {self.label!r}: {error}") from None


def parse_optimizer(text: str) -> OptimizerSpec:
    """The optimizer that `text` names, checked as text: its form, its
    settings' names and values (nothing is imported); OptimizerSpecError
    for text that names none."""
    if not isinstance(text, str) or not text.strip() or not text.isprintable():
        raise OptimizerSpecError(f"no optimizer {text!r}: give {FORMS}")
    head, colon, rest = text.partition(":")
    if not colon:
        if text == NEVERGRAD:
            raise OptimizerSpecError("name one of Nevergrad's optimizers: nevergrad:NGOpt, say")
        if text not in NAMED:
            match = difflib.get_close_matches(text, [*NAMED, NEVERGRAD], n=1)
            hint = f": did you mean {match[0]}?" if match else ""
            raise OptimizerSpecError(f"no optimizer {text!r}{hint} (give {FORMS})")
        return OptimizerSpec(text, text)
    if head in NAMED:
        return OptimizerSpec(text, head, "", _settings(text, rest))
    target, _, given = rest.partition(",")
    if head == NEVERGRAD:
        if not target.isidentifier():
            raise OptimizerSpecError(f"optimizer {text!r}: name one of Nevergrad's "
                                     "optimizers after nevergrad:, such as nevergrad:NGOpt")
        return OptimizerSpec(text, NEVERGRAD, target, _settings(text, given))
    if not all(part.isidentifier() for part in head.split(".")):
        raise OptimizerSpecError(f"no optimizer {text!r}: {head!r} is no module's dotted name "
                                 f"(give {FORMS})")
    if not all(part.isidentifier() for part in target.split(".")):
        raise OptimizerSpecError(f"optimizer {text!r}: {target!r} is no attribute's name: "
                                 "give MODULE:FACTORY")
    return OptimizerSpec(text, OWN, f"{head}:{target}", _settings(text, given))


def _settings(label: str, text: str) -> tuple[tuple[str, Any], ...]:
    if not text:
        return ()
    types = {field.name: str(field.type) for field in fields(SearchSettings)}
    settable = [name for name in types if name not in SHARED_SETTINGS]
    given: dict[str, Any] = {}
    for item in text.split(","):
        key, equals, value = item.partition("=")
        if not equals:
            raise OptimizerSpecError(f"optimizer {label!r}: {item!r} is no KEY=VALUE setting")
        if key in SHARED_SETTINGS:
            raise OptimizerSpecError(f"optimizer {label!r}: {key} is the command's, the same "
                                     "for every optimizer")
        if key not in settable:
            match = difflib.get_close_matches(key, settable, n=1)
            hint = f"did you mean {match[0]}? " if match else ""
            raise OptimizerSpecError(f"optimizer {label!r}: no setting {key!r} ({hint}settings: "
                                     f"{', '.join(settable)})")
        if key in given:
            raise OptimizerSpecError(f"optimizer {label!r}: {key} is given twice")
        given[key] = _value(label, key, value, types[key])
    try:
        SearchSettings(**given)
    except InvalidSetting as error:
        raise OptimizerSpecError(f"optimizer {label!r}: {error}") from None
    return tuple(given.items())


def _value(label: str, key: str, text: str, annotation: str) -> Any:
    """`text` as a value of a field annotated `annotation` ("int | None",
    "float", "str", ...)."""
    kinds = [kind.strip() for kind in annotation.split("|")]
    if "None" in kinds and text == "none":
        return None
    try:
        if "int" in kinds:
            return int(text)
        if "float" in kinds:
            return float(text)
    except ValueError:
        kind = "a whole number" if "int" in kinds else "a number"
        raise OptimizerSpecError(f"optimizer {label!r}: {key} must be {kind}, got "
                                 f"{text!r}") from None
    if "str" in kinds:
        return text
    raise OptimizerSpecError(f"optimizer {label!r}: {key} cannot be given after an "
                             "optimizer's name")


def optimizer_factory(parsed: OptimizerSpec) -> OptimizerFactory | None:
    """What makes the runs' optimizers of `parsed`, as zorv.search's
    `optimizer` takes it: None for the built-in ones, which the settings
    name. Imports what it needs: LibraryMissingError (an ImportError whose
    message names the pip command) for a library that is not installed,
    OptimizerSpecError for a Nevergrad name that its registry lacks or a
    factory that cannot be imported."""
    if parsed.kind == BUILTIN:
        return None
    if parsed.kind == PYCMA:
        import_library("cma", "the pycma optimizer")
        return None
    if parsed.kind == CMAES:
        import_library("cmaes", "the cmaes optimizer")
        return CmaesOptimizer
    if parsed.kind == NEVERGRAD:
        names = nevergrad_names()
        if parsed.target not in names:
            match = difflib.get_close_matches(parsed.target, names, n=1)
            hint = f": did you mean {NEVERGRAD}:{match[0]}?" if match else ""
            raise OptimizerSpecError(f"optimizer {parsed.label!r}: Nevergrad has no optimizer "
                                     f"{parsed.target!r}{hint}")
        return nevergrad_factory(parsed.target)
    return _own_factory(parsed)


def _own_factory(parsed: OptimizerSpec) -> OptimizerFactory:
    module_name, _, path = parsed.target.partition(":")
    try:
        found: Any = _import_module(module_name)
    except Exception as error:  # whatever the module raises as it runs
        detail = " ".join(str(error).split())[:200]
        raise OptimizerSpecError(f"optimizer {parsed.label!r}: cannot import {module_name!r}: "
                                 f"{type(error).__name__}: {detail}") from None
    for part in path.split("."):
        if not hasattr(found, part):
            raise OptimizerSpecError(f"optimizer {parsed.label!r}: {module_name!r} has no "
                                     f"{path!r}")
        found = getattr(found, part)
    if not callable(found):
        raise OptimizerSpecError(f"optimizer {parsed.label!r}: {path!r} is no function of "
                                 "(settings, run) that makes an optimizer")
    factory: OptimizerFactory = found
    return factory


def _import_module(name: str) -> Any:
    """The module `name`, from Python's import path or else from the current
    folder (which the `zorv` command, unlike `python -m`, does not put on
    the path)."""
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        here = os.getcwd()
        if error.name != name.split(".")[0] or here in sys.path or "" in sys.path:
            raise
    sys.path.append(here)
    return importlib.import_module(name)
