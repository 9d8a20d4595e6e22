"""The package as editors and help() see it: the stubs name exactly what the
compiled core has, and the public calls document their parameters."""

import ast
import inspect
import pathlib

import korvo
from korvo import _korvo


def stub_names():
    tree = ast.parse((pathlib.Path(korvo.__file__).parent / "_korvo.pyi").read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = None
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = None
    return names


def test_stubs_match_the_compiled_core():
    stubs = stub_names()
    assert set(stubs) == {n for n in dir(_korvo) if not n.startswith("_")}
    for name, members in stubs.items():
        if members and name != "KorvoError":
            have = {n for n in dir(getattr(_korvo, name)) if not n.startswith("_")}
            assert members == have, name


def test_public_calls_document_their_parameters():
    for f in (korvo.read_record, korvo.transfer, korvo.run, korvo.response_spectrum,
              korvo.Profile, korvo.Record):
        doc = inspect.getdoc(f)
        assert "Parameters" in doc, f.__name__
        params = [p for p in inspect.signature(f).parameters if p != "self"]
        for p in params:
            assert p in doc, (f.__name__, p)


def test_every_command_answers_version():
    import os
    import re
    import subprocess

    from conftest import program

    korvo_binary = program("KORVO_BINARY", "bin/korvo")
    first = None
    for name in ["korvo", "korvo-record", "korvo-spectra", "korvo-site", "korvo-plot",
                 "korvo-suite"]:
        env = dict(os.environ)
        if name == "korvo-plot":
            # A sanitizer's runtime preloaded for the module is not the shell's
            # (bash under ThreadSanitizer's crashes).
            env.pop("LD_PRELOAD", None)
        done = subprocess.run([korvo_binary.parent / name, "--version"], capture_output=True,
                              text=True, timeout=60, env=env)
        assert done.returncode == 0 and done.stderr == "", name
        match = re.fullmatch(re.escape(name) + r" (\d+\.\d+\.\d+)\n", done.stdout)
        assert match, (name, done.stdout)
        first = first or match.group(1)
        assert match.group(1) == first, name
