"""Builds the generated parts of the manual from the code itself, so that
neither reference can fall out of step with what it describes:

- `<!-- zorv-api -->` becomes one mkdocstrings entry per name in
  `zorv.__all__`, each documented from its docstring;
- `<!-- zorv-cli -->` becomes the reference of every `zorv` command and
  option, read from the argparse parser that the command line runs;
- `<!-- zorv-stop-rules -->` becomes the table of the reasons a run of the
  search stops, with the explanations the command line prints.
"""
from __future__ import annotations

import argparse
import re

API_MARKER = "<!-- zorv-api -->"
CLI_MARKER = "<!-- zorv-cli -->"
STOP_RULES_MARKER = "<!-- zorv-stop-rules -->"


def on_page_markdown(markdown: str, **_: object) -> str:
    if API_MARKER in markdown:
        markdown = markdown.replace(API_MARKER, api_reference())
    if CLI_MARKER in markdown:
        markdown = markdown.replace(CLI_MARKER, cli_reference())
    if STOP_RULES_MARKER in markdown:
        markdown = markdown.replace(STOP_RULES_MARKER, stop_rules())
    return markdown


def api_reference() -> str:
    """An entry per public name of the package, documented where it is
    defined (`zorv.search` the function, not the module of that name)."""
    import zorv

    entries = []
    for name in zorv.__all__:
        source = zorv._SOURCES[name]
        module = f"zorv{source}" if source.startswith(".") else source
        entries.append(f"::: {module}.{name}")
    return "\n\n".join(entries)


def stop_rules() -> str:
    from zorv.searching.loop import STOP_REASONS

    rows = [f"| `{name}` | {_escape(text)} |" for name, text in STOP_REASONS.items()]
    return "| reason | what happened |\n|---|---|\n" + "\n".join(rows)


def cli_reference() -> str:
    from zorv.command_line.arguments import build_parser

    parser = build_parser("zorv")
    sections = [_usage(parser), _options_table(parser)]
    for name, command in _commands(parser):
        sections += [f"## zorv {name}", _escape(command.description or ""), _usage(command),
                     _options_table(command)]
    return "\n\n".join(section for section in sections if section)


def _commands(parser: argparse.ArgumentParser) -> list[tuple[str, argparse.ArgumentParser]]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return list(action.choices.items())
    return []


def _usage(parser: argparse.ArgumentParser) -> str:
    usage = " ".join(parser.format_usage().split())
    return f"```text\n{usage}\n```"


def _options_table(parser: argparse.ArgumentParser) -> str:
    rows = []
    for action in parser._actions:
        if isinstance(action, (argparse._HelpAction, argparse._SubParsersAction)):
            continue
        if action.option_strings:
            metavar = "" if action.nargs == 0 else f" {_metavar(action)}"
            name = ", ".join(f"`{flag}{metavar}`" for flag in action.option_strings)
        else:
            name = f"`{_metavar(action)}`"
        # As argparse formats it: help texts may name %(default)s and the like.
        help_text = (action.help or "") % dict(vars(action), prog=parser.prog)
        if action.choices is not None and not isinstance(action.choices, dict):
            help_text += f" (one of {', '.join(f'`{c}`' for c in action.choices)})"
        rows.append(f"| {name} | {_escape(help_text)} |")
    if not rows:
        return ""
    return "| argument | what it does |\n|---|---|\n" + "\n".join(rows)


def _metavar(action: argparse.Action) -> str:
    if action.metavar is not None:
        return str(action.metavar)
    return action.dest.upper() if action.option_strings else action.dest


def _escape(text: str) -> str:
    return re.sub(r"([|<>*])", r"\\\1", " ".join(text.split()))
