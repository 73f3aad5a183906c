"""The man pages under man/, rendered by the real man and groff: no warnings,
the package's version, no reference to a page that is not there, and every
option the installed quorlin's --help prints, every fleet key and every web
configuration key the sources accept, so that a new one cannot go unwritten."""

from __future__ import annotations

import functools
import os
import re
import subprocess
import tomllib
from pathlib import Path

import pytest

from conftest import quorlin_command

ROOT = Path(__file__).resolve().parents[2]
MAN = ROOT / "man"
PAGES = ["quorlin.1", "quorlin-fleet.1", "quorlin-exporter.1", "quorlin-fleet.5", "quorlin-web-config.5"]
TIMEOUT_S = 60
# One width and locale, whatever the terminal the tests run in.
RENDER_ENV = {**os.environ, "MANWIDTH": "80", "COLUMNS": "80", "LC_ALL": "C.UTF-8"}

# CLI11 help: an option line is two spaces, then the option's names joined by commas.
HELP_OPTION_LINE = re.compile(r"^  (-\S+)", re.M)
# Where the programs list the names they accept, and one name's pattern there.
ACCEPTED_NAMES = [
    ("quorlin-fleet.5", "native/fleet/settings.hpp", r'\{"(\w+)", SettingKey::'),
    ("quorlin-web-config.5", "native/exporter/web_config.cpp", r'key [!=]= "(\w+)"'),
    ("quorlin-web-config.5", "native/exporter/tls_settings.hpp", r'\{"(\w+)", ClientAuth::'),
]


def run(args: list[str]) -> subprocess.CompletedProcess:
    return subprocess.run(args, capture_output=True, text=True, env=RENDER_ENV, timeout=TIMEOUT_S)


@functools.cache
def rendered(page: str) -> str:
    done = run(["man", "-l", "-P", "cat", str(MAN / page)])
    assert (done.returncode, done.stderr) == (0, ""), page
    return done.stdout


def help_options(subcommand: list[str]) -> list[str]:
    done = run([quorlin_command(), *subcommand, "--help"])
    assert done.returncode == 0, done.stderr
    return [name for names in HELP_OPTION_LINE.findall(done.stdout) for name in names.split(",")]


def section(text: str, title: str) -> str:
    found = re.search(rf"^{title}\n(.*?)(?=^\S)", text, re.M | re.S)
    assert found, f"no {title} section"
    return found.group(1)


@pytest.mark.parametrize("page", PAGES)
def test_page_renders_without_warning(page):
    groff = run(["groff", "-man", "-ww", "-z", str(MAN / page)])
    assert (groff.returncode, groff.stderr) == (0, "")
    assert rendered(page)


@pytest.mark.parametrize("page", PAGES)
def test_page_names_itself_the_version_and_existing_pages(page):
    source = (MAN / page).read_text()
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    title = re.search(r'^\.TH (\S+) (\d) \S+ "quorlin ([^"]+)"', source, re.M)
    assert title, "no .TH line with the version"
    assert (title[1].replace("\\-", "-").lower() + "." + title[2], title[3]) == (page, version)
    references = re.findall(r"^\.BR (quorlin\S*) \((\d)\)", source, re.M)
    assert [ref for ref in references if not (MAN / f"{ref[0].replace(chr(92) + '-', '-')}.{ref[1]}").exists()] == []


@pytest.mark.parametrize("page, subcommand", [("quorlin.1", []), ("quorlin-fleet.1", ["fleet"]),
                                              ("quorlin-exporter.1", ["exporter"])])
def test_every_option_of_help_is_in_its_page(page, subcommand):
    options = help_options(subcommand)
    assert "--help" in options, "the help's option lines were not found"
    text = rendered(page)
    # Whole names: --ping is not found inside --ping-count, nor --web.config inside --web.config.file.
    missing = [option for option in options
               if not re.search(rf"(?<![\w.-]){re.escape(option)}(?![\w-]|\.\w)", text)]
    assert missing == []


@pytest.mark.parametrize("page, source, pattern", ACCEPTED_NAMES, ids=[source for _, source, _ in ACCEPTED_NAMES])
def test_every_accepted_name_has_an_entry(page, source, pattern):
    names = re.findall(pattern, (ROOT / source).read_text())
    assert names, f"no names found in {source}: its table changed shape"
    # An entry is a tagged paragraph of KEYS: the name at the start of a line.
    keys = section(rendered(page), "KEYS")
    assert [name for name in names if not re.search(rf"^ +{name}\b", keys, re.M)] == []
