"""Checks every native binary in a wheel against what a manylinux2014 machine offers, beyond what
auditwheel looks at: executables too, C++ runtime symbols, and what extension modules export.

Usage: python wheel_binaries.py WHEEL...   (needs pyelftools, which auditwheel brings)
Exits 1 and names each offence if any binary needs a glibc newer than 2.17, needs a library the
platform does not promise, needs any libstdc++/libc++ at run time, or (for an extension module)
exports anything besides init functions, or the test hooks' one.
"""

import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

NEWEST_GLIBC = (2, 17)
# The libraries manylinux2014 guarantees that a C++ program built as ours may need.
PLATFORM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                      "ld-linux-x86-64.so.2", "libgcc_s.so.1"}
NEWEST_LIBGCC = (4, 8)
VERSIONED = re.compile(r"^(GLIBC|GCC|GLIBCXX|CXXABI)_([\d.]+)$")


def offences(name, elf):
    needed, exported, versions = set(), set(), set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        elif isinstance(section, GNUVerNeedSection):
            versions |= {aux.name for _, auxiliaries in section.iter_versions() for aux in auxiliaries}
        elif section.name == ".dynsym":
            exported |= {symbol.name for symbol in section.iter_symbols()
                         if symbol["st_shndx"] != "SHN_UNDEF"
                         and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK") and symbol.name}
    for library in sorted(needed - PLATFORM_LIBRARIES):
        yield f"{name}: needs {library}"
    for version in sorted(versions):
        match = VERSIONED.match(version)
        if not match:
            continue
        number = tuple(int(part) for part in match[2].split("."))
        if match[1] in ("GLIBCXX", "CXXABI"):
            yield f"{name}: needs the build machine's C++ runtime ({version})"
        elif match[1] == "GLIBC" and number > NEWEST_GLIBC:
            yield f"{name}: needs {version}, newer than glibc 2.17"
        elif match[1] == "GCC" and number > NEWEST_LIBGCC:
            yield f"{name}: needs {version}, newer than manylinux2014's libgcc_s"
    if elf.header["e_type"] == "ET_DYN" and ".cpython-" in name:
        extra = sorted(symbol for symbol in exported if not symbol.startswith("PyInit_"))
        if extra:
            yield f"{name}: exports {len(extra)} symbols besides PyInit_*, e.g. {extra[:5]}"
        # Test hooks are built into test builds only (TYVO_TEST_HOOKS=ON), never into a release.
        for symbol in sorted(symbol for symbol in exported if symbol.startswith("PyInit_") and "testing" in symbol):
            yield f"{name}: exports the test hooks' entry point {symbol}"


def check(wheel):
    found, problems = [], []
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            data = archive.read(name)
            if not data.startswith(b"\x7fELF"):
                continue
            found.append(name)
            problems += offences(name, ELFFile(io.BytesIO(data)))
    if not found:
        problems.append("no native binary at all")
    return found, problems


def main(wheels):
    failed = False
    for wheel in wheels:
        found, problems = check(wheel)
        for problem in problems:
            print(f"{wheel}: {problem}")
        failed |= bool(problems)
        if not problems:
            print(f"{wheel}: {len(found)} binaries fit manylinux2014: {', '.join(found)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
