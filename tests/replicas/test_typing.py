"""tyvo_replicas' inline types, as an application sees them: the installed package checks clean
under mypy --strict, types correct use precisely and rejects each misuse."""

import os
import re
import subprocess
import sys
from pathlib import Path

TYPING = Path(__file__).with_name("typing")
EXPECTED_MARK = re.compile(r"#\s*expect:\s*([\w-]+)")
REPORTED_ERROR = re.compile(r"^(?P<file>[^:\n]+):(?P<line>\d+): error: .*?\s+\[(?P<code>[\w-]+)\]$")


def mypy(arguments, cwd):
    environment = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(TYPING / "mypy.ini"),
                           "--cache-dir", str(cwd / "cache"), *arguments],
                          cwd=cwd, env=environment, capture_output=True, text=True, timeout=300)


def test_installed_package_is_strictly_typed(tmp_path):
    result = mypy(["-p", "tyvo_replicas"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_accepts_the_typed_example_and_rejects_each_misuse(tmp_path):
    misuse = TYPING / "type_errors.py"
    result = mypy([str(TYPING / "typed_example.py"), str(misuse)], tmp_path)
    output = result.stdout + result.stderr
    assert "import-not-found" not in output and "import-untyped" not in output, output
    reported = {(Path(m["file"]).name, int(m["line"]), m["code"])
                for m in map(REPORTED_ERROR.match, output.splitlines()) if m}
    expected = {(misuse.name, number, mark.group(1))
                for number, line in enumerate(misuse.read_text().splitlines(), start=1)
                if (mark := EXPECTED_MARK.search(line))}
    assert expected and reported == expected, (f"missing: {sorted(expected - reported)}\n"
                                               f"unexpected: {sorted(reported - expected)}\n{output}")
