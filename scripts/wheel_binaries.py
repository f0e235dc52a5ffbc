"""Checks every native binary in a wheel against what a manylinux2014 machine offers, beyond what
auditwheel looks at: executables too, C++ runtime symbols, and what extension modules export.

Usage: python wheel_binaries.py WHEEL...   (needs pyelftools, which auditwheel brings)
Exits 1 and names each offence if any binary is built for another architecture than the wheel's
platform tag names (x86_64 or aarch64), needs a glibc newer than 2.17, needs a library the
platform does not promise, needs any libstdc++/libc++ at run time, or (for an extension module)
carries another architecture's name, exports anything besides init functions, or the test hooks' one.
"""

import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

NEWEST_GLIBC = (2, 17)
# The libraries manylinux2014 guarantees that a C++ program built as ours may need, besides the
# architecture's dynamic loader.
PLATFORM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1"}
# Per architecture of a wheel's platform tag: its ELF machine and its dynamic loader.
ARCHITECTURES = {"x86_64": ("EM_X86_64", "ld-linux-x86-64.so.2"), "aarch64": ("EM_AARCH64", "ld-linux-aarch64.so.1")}
NEWEST_LIBGCC = (4, 8)
VERSIONED = re.compile(r"^(GLIBC|GCC|GLIBCXX|CXXABI)_([\d.]+)$")


def offences(name, elf, arch):
    machine, loader = ARCHITECTURES[arch]
    if elf.header["e_machine"] != machine:
        yield f"{name}: built for {elf.header['e_machine']}, not for the wheel's {arch}"
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
    for library in sorted(needed - PLATFORM_LIBRARIES - {loader}):
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
        # The interpreter looks for its own architecture's name only: another one is never imported.
        if f"-{arch}-linux-gnu." not in name:
            yield f"{name}: named for another architecture than {arch}"
        extra = sorted(symbol for symbol in exported if not symbol.startswith("PyInit_"))
        if extra:
            yield f"{name}: exports {len(extra)} symbols besides PyInit_*, e.g. {extra[:5]}"
        # Test hooks are built into test builds only (TYVO_TEST_HOOKS=ON), never into a release.
        for symbol in sorted(symbol for symbol in exported if symbol.startswith("PyInit_") and "testing" in symbol):
            yield f"{name}: exports the test hooks' entry point {symbol}"


def wheel_arch(wheel):
    """The architecture a wheel's platform tag names (the file name's last part)."""
    platform = wheel.rsplit("-", 1)[-1].removesuffix(".whl")
    return next((arch for arch in ARCHITECTURES if platform.endswith("_" + arch)), None)


def check(wheel):
    found, problems = [], []
    arch = wheel_arch(wheel)
    if arch is None:
        return found, [f"a platform tag of none of {sorted(ARCHITECTURES)}"]
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            data = archive.read(name)
            if not data.startswith(b"\x7fELF"):
                continue
            found.append(name)
            problems += offences(name, ELFFile(io.BytesIO(data)), arch)
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
            print(f"{wheel}: {len(found)} binaries fit manylinux2014 on {wheel_arch(wheel)}: {', '.join(found)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
