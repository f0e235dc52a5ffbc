"""scripts/wheel_binaries.py must reject what a manylinux2014 machine cannot load: an extension
module built with this machine's g++ (its glibc and libstdc++ are newer than the platform's)."""

import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

CHECKER = Path(__file__).resolve().parents[2] / "scripts" / "wheel_binaries.py"

# A timed wait pulls in pthread_cond_clockwait (glibc 2.30) and a libstdc++ symbol version; the
# extra function is an export besides PyInit_*, and a test hooks' entry point has no place in a release.
MODULE = """
#include <chrono>
#include <condition_variable>
#include <mutex>
extern "C" void* PyInit_bad() { return nullptr; }
extern "C" void* PyInit__bad_testing() { return nullptr; }
extern "C" int leaked_helper(int seconds) {
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(seconds)) == std::cv_status::timeout;
}
"""


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_a_module_built_by_the_system_compiler_is_refused(tmp_path):
    source = tmp_path / "bad.cpp"
    source.write_text(MODULE)
    module = tmp_path / "bad.cpython-311-x86_64-linux-gnu.so"
    subprocess.run(["g++", "-std=c++20", "-shared", "-fPIC", "-O1", str(source), "-o", str(module)], check=True)
    wheel = tmp_path / "bad-0-cp311-cp311-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.write(module, module.name)
        archive.writestr("bad-0.dist-info/METADATA", "Name: bad\n")
    result = subprocess.run([sys.executable, str(CHECKER), str(wheel)], capture_output=True, text=True)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "newer than glibc 2.17" in result.stdout, result.stdout
    assert "needs libstdc++.so.6" in result.stdout, result.stdout
    assert "C++ runtime (GLIBCXX_" in result.stdout, result.stdout
    assert "besides PyInit_*" in result.stdout and "leaked_helper" in result.stdout, result.stdout
    assert "test hooks' entry point PyInit__bad_testing" in result.stdout, result.stdout

    # The same x86_64 module in a wheel that claims aarch64: neither the machine nor the name fit.
    claimed = tmp_path / "bad-0-cp311-cp311-manylinux_2_17_aarch64.whl"
    wheel.rename(claimed)
    result = subprocess.run([sys.executable, str(CHECKER), str(claimed)], capture_output=True, text=True)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "built for EM_X86_64, not for the wheel's aarch64" in result.stdout, result.stdout
    assert "named for another architecture than aarch64" in result.stdout, result.stdout
