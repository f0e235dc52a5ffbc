"""tyvo's type stub, as an application sees it: mypy finds it where pip put it (no search path
set), it agrees with the compiled module, it types correct code precisely and rejects misuse."""

import os
import re
import subprocess
import sys
from pathlib import Path

TYPING = Path(__file__).resolve().parents[1] / "typing"
EXPECTED_MARK = re.compile(r"#\s*expect:\s*([\w-]+)")
CHECKED_FILES = ["typed_example.py", "type_errors.py", "cron_typed_example.py", "cron_type_errors.py"]
REPORTED_ERROR = re.compile(r"^(?P<file>[^:\n]+):(?P<line>\d+): error: (?P<text>.*?)\s+\[(?P<code>[\w-]+)\]$")


def run(arguments, cwd, timeout=300):
    environment = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}
    return subprocess.run([sys.executable, *arguments], cwd=cwd, env=environment, capture_output=True,
                          text=True, timeout=timeout)


def expected_errors(path):
    lines = path.read_text().splitlines()
    return {(path.name, number, mark.group(1))
            for number, line in enumerate(lines, start=1) if (mark := EXPECTED_MARK.search(line))}


def test_mypy_accepts_the_typed_example_and_rejects_each_misuse(tmp_path):
    # One run for both files: mypy's start-up is most of its cost.
    result = run(["-m", "mypy", "--config-file", str(TYPING / "mypy.ini"), "--cache-dir", str(tmp_path / "cache"),
                  *(str(TYPING / name) for name in CHECKED_FILES)], cwd=tmp_path)
    output = result.stdout + result.stderr
    assert "import-not-found" not in output and "import-untyped" not in output, (
        "mypy did not find a stub where pip installed the module; mypy reads a single-module stub only "
        "from a '<module>-stubs/__init__.pyi' in site-packages, not from a .pyi beside the module:\n" + output)
    reported = {(Path(match["file"]).name, int(match["line"]), match["code"])
                for match in map(REPORTED_ERROR.match, output.splitlines()) if match}
    expected = expected_errors(TYPING / "type_errors.py") | expected_errors(TYPING / "cron_type_errors.py")
    assert all(expected_errors(TYPING / name) for name in CHECKED_FILES if "errors" in name), \
        "a misuse file lost its markers"
    assert reported == expected, (f"missing: {sorted(expected - reported)}\n"
                                  f"unexpected: {sorted(reported - expected)}\n{output}")
    assert result.returncode == 1, output


def test_stub_agrees_with_the_compiled_module(tmp_path):
    result = run(["-m", "mypy.stubtest", "--concise", "tyvo", "tyvo_cron"], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_examples_run_as_typed(tmp_path):
    # The asserts in the examples check at run time the values that the stubs promise.
    for example in ["typed_example.py", "cron_typed_example.py"]:
        result = run([str(TYPING / example)], cwd=tmp_path, timeout=60)
        assert result.returncode == 0, example + "\n" + result.stdout + result.stderr
