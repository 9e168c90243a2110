#!/usr/bin/env python3
"""Helpers of scripts/cross, run inside the chroot.

  cross.py darwin-include LINUX_PYCONFIG HEADERS ZIG_DARWIN_INCLUDE OUT
      a copy of the interpreter's headers for macOS on arm64, with a
      pyconfig.h derived from the Linux aarch64 one
  cross.py check TARGET FILE...
      checks each built module for TARGET (macos-arm64 or linux-aarch64) and
      prints what it found; exits 1 on any fault

The macOS pyconfig.h: no macOS build of the interpreter is reachable here,
so its configuration is derived from Debian's for Linux aarch64, the same
processor and the same LP64 data model. The interpreter's own
pymacconfig.h, which Python.h includes right after pyconfig.h, redefines
every size and alignment that differs on macOS (long double and
max_align_t are 8 bytes there); what remains to change is what configure
finds differently on macOS: the feature-test macros it does not define
there, the Linux-only facilities (perf trampolines, DTrace probes, two
pthread and semaphore calls), and every HAVE_*_H whose header is not among
zig's macOS headers (a few that macOS does have go too, which is harmless:
no public header reads them).
The public headers read only a few of these; layout.cpp then checks every
size the headers use against the target compiler.
"""

import hashlib
import itertools
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

# What CPython's configure leaves out on macOS, or what Debian's build adds.
NOT_ON_MACOS = {"_POSIX_C_SOURCE", "_XOPEN_SOURCE", "_XOPEN_SOURCE_EXTENDED", "PY_HAVE_PERF_TRAMPOLINE",
                "WITH_DTRACE", "HAVE_PTHREAD_CONDATTR_SETCLOCK", "HAVE_SEM_TIMEDWAIT"}


def header_exists(macro, include):
    """HAVE_SYS_EPOLL_H -> sys/epoll.h, sys_epoll.h, ... under `include`."""
    parts = macro[len("HAVE_"):-len("_H")].lower().split("_")
    for seps in itertools.product("/_", repeat=len(parts) - 1):
        name = parts[0] + "".join(s + p for s, p in zip(seps, parts[1:])) + ".h"
        if (include / name).exists():
            return True
    return False


def darwin_include(linux_pyconfig, headers, darwin, out):
    headers, darwin, out = Path(headers), Path(darwin), Path(out)
    dest = out / headers.name
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(headers, dest)
    dropped = []
    lines = []
    for line in Path(linux_pyconfig).read_text().splitlines():
        m = re.match(r"\s*#\s*define\s+(\w+)", line)
        name = m and m.group(1)
        if name and (name in NOT_ON_MACOS or re.fullmatch(r"HAVE_\w+_H", name) and not header_exists(name, darwin)):
            dropped.append(name)
            continue
        lines.append(line)
    text = ("/* Derived by scripts/cross.py from Debian's pyconfig.h for Linux aarch64\n"
            "   for a compile-and-link check on macOS arm64; sizes come from pymacconfig.h. */\n"
            + "\n".join(lines) + "\n")
    (dest / "pyconfig.h").write_text(text)
    print(f"cross: {dest}/pyconfig.h: derived from {linux_pyconfig}, "
          f"{len(dropped)} macros dropped: {' '.join(sorted(dropped))}")


# ---- the checks -------------------------------------------------------------------

GLIBC_MAX = (2, 28)  # manylinux_2_28
# Hooks of the C runtime's start files, weak and unversioned.
CRT_WEAK = {"__gmon_start__", "_ITM_deregisterTMCloneTable", "_ITM_registerTMCloneTable"}
# The C++ runtime: the ABI's entry points, the unwinder, operator new and
# delete, std::terminate, the type information and virtual tables of the
# ABI's and the standard's exception classes (Itanium mangling).
CXX_RUNTIME = re.compile(r"""
    __cxa_\w+ | __gxx_personality_v0 | _Unwind_\w+
  | _Zn[wa]m\w* | _Zd[la]Pv\w*                      # operator new, delete
  | _ZSt9terminatev
  | _ZT[IVS](St\d+\w+|N10__cxxabiv1\d+\w+E)          # typeinfo, vtable, name
  | _ZNSt\d+(exception|bad_alloc|bad_array_new_length)\w+ | _ZNKSt\d+(exception|bad_alloc|bad_array_new_length)4whatEv
""", re.X)
C_API = re.compile(r"_?Py[A-Za-z_0-9]+")


def tool(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


class Report:
    def __init__(self, path):
        self.path = path
        self.faults = []
        self.facts = []

    def expect(self, ok, fault):
        if not ok:
            self.faults.append(fault)
        return ok


def module_name(path):
    return Path(path).name.split(".")[0]


def check_elf(path):
    r = Report(path)
    header = tool("llvm-readelf", "-h", path)
    machine = re.search(r"Machine:\s+(.+)", header).group(1).strip()
    klass = re.search(r"Class:\s+(\S+)", header).group(1)
    r.expect(machine == "AArch64" and klass == "ELF64", f"not a 64-bit AArch64 ELF: {klass} {machine}")
    r.facts.append(f"{klass} {machine}")
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", tool("llvm-readelf", "-d", path))
    allowed = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libstdc++.so.6", "libgcc_s.so.1",
               "ld-linux-aarch64.so.1"}
    r.expect(set(needed) <= allowed, f"needs other libraries: {sorted(set(needed) - allowed)}")
    r.facts.append("needs " + ", ".join(needed))
    exported, undefined = [], {"C API": [], "C library": [], "C++ runtime": [], "start files": []}
    glibc, cxx_versions = [], set()
    for line in tool("llvm-readelf", "--dyn-syms", "-W", path).splitlines():
        f = line.split()
        if len(f) < 8 or not f[0].rstrip(":").isdigit() or f[4] == "LOCAL" or not f[7:]:
            continue
        bind, ndx, full = f[4], f[6], f[7]
        name, _, version = full.partition("@")
        version = version.lstrip("@")
        if ndx != "UND":
            exported.append(full)
            continue
        if C_API.fullmatch(name) and not version:
            undefined["C API"].append(name)
        elif version.startswith("GLIBC_") and not C_API.fullmatch(name):
            undefined["C library"].append(full)
            glibc.append(tuple(map(int, version[len("GLIBC_"):].split("."))))
        elif re.match(r"(GLIBCXX|CXXABI|GCC)_", version) and CXX_RUNTIME.fullmatch(name):
            undefined["C++ runtime"].append(full)
            cxx_versions.add(version)
        elif name in CRT_WEAK and bind == "WEAK" and not version:
            undefined["start files"].append(name)
        else:
            r.expect(False, f"undefined symbol outside the C API, C library and C++ runtime: {full}")
    want = f"PyInit_{module_name(path)}"
    r.expect(exported == [want], f"exports {exported}, not only {want}")
    r.facts.append("exports " + ", ".join(exported))
    top = max(glibc, default=(0,))
    r.expect(top <= GLIBC_MAX, f"needs GLIBC_{'.'.join(map(str, top))}, above {GLIBC_MAX}")
    r.facts.append(f"highest GLIBC_{'.'.join(map(str, top))}")
    if cxx_versions:
        r.facts.append("C++ runtime versions " + ", ".join(sorted(cxx_versions)))
    return r, undefined


LC_CODE_SIGNATURE = 0x1D
CS_ADHOC = 0x2


def verify_signature(path, r):
    """The embedded code signature: a SuperBlob with a CodeDirectory whose
    page hashes match the file."""
    data = Path(path).read_bytes()
    ncmds = struct.unpack_from("<I", data, 16)[0]
    off = 32  # past mach_header_64
    sig = None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, off)
        if cmd == LC_CODE_SIGNATURE:
            sig = struct.unpack_from("<II", data, off + 8)
        off += size
    if not r.expect(sig is not None, "no code signature (LC_CODE_SIGNATURE)"):
        return
    dataoff, datasize = sig
    blob = data[dataoff:dataoff + datasize]
    sb_magic, _, count = struct.unpack_from(">III", blob, 0)
    if not r.expect(sb_magic == 0xFADE0CC0, f"code signature is no embedded signature (magic {sb_magic:#x})"):
        return
    for i in range(count):
        _, boff = struct.unpack_from(">II", blob, 12 + 8 * i)
        if struct.unpack_from(">I", blob, boff)[0] == 0xFADE0C02:  # CodeDirectory
            cd = blob[boff:]
            break
    else:
        r.expect(False, "code signature has no CodeDirectory")
        return
    (_, _, _, flags, hash_off, _, _, n_code, code_limit, hash_size, hash_type, _, page_log) = \
        struct.unpack_from(">IIIIIIIIIBBBB", cd, 0)
    algo = {1: "sha1", 2: "sha256"}.get(hash_type)
    if not r.expect(algo is not None, f"unknown hash type {hash_type}"):
        return
    page = 1 << page_log
    bad = [i for i in range(n_code)
           if hashlib.new(algo, data[i * page:min((i + 1) * page, code_limit)]).digest()
           != cd[hash_off + i * hash_size:hash_off + (i + 1) * hash_size]]
    r.expect(not bad, f"code signature: pages {bad} do not match their hashes")
    r.expect(code_limit == dataoff, "code signature does not cover the file up to itself")
    r.facts.append(f"signed {'ad hoc' if flags & CS_ADHOC else f'(flags {flags:#x})'}, "
                   f"{n_code} {algo} page hashes verified")


def check_macho(path):
    r = Report(path)
    head = tool("llvm-objdump", "--macho", "--private-header", path)
    fields = head.splitlines()[-1].split()
    r.expect(fields[:2] == ["MH_MAGIC_64", "ARM64"], f"not a 64-bit arm64 Mach-O: {fields[:2]}")
    r.expect(fields[4] in ("DYLIB", "BUNDLE"), f"file type {fields[4]}")
    r.facts.append(f"Mach-O {fields[1].lower()} {fields[4].lower()}")
    cmds = tool("llvm-objdump", "--macho", "--private-headers", path)
    build = re.search(r"cmd LC_BUILD_VERSION.*?platform (\S+).*?minos (\S+)", cmds, re.S)
    r.expect(build is not None and build.groups() == ("macos", "11.0"),
             f"LC_BUILD_VERSION {build and build.groups()}, not macos minos 11.0")
    if build:
        r.facts.append(f"{build.group(1)} minos {build.group(2)}")
    r.expect("LC_VERSION_MIN_MACOSX" not in cmds, "an old LC_VERSION_MIN_MACOSX as well")
    dylibs = re.findall(r"cmd LC_(?:LOAD|LOAD_WEAK|REEXPORT)_DYLIB.*?name (\S+)", cmds, re.S)
    allowed = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}
    r.expect(set(dylibs) <= allowed, f"links other libraries: {sorted(set(dylibs) - allowed)}")
    r.facts.append("links " + ", ".join(dylibs))
    verify_signature(path, r)
    exported, undefined = [], {"C API": [], "C library": [], "C++ runtime": []}
    # "[address] (section) attributes name [(from library)]"; an undefined
    # symbol without a library is left to lookup at load time.
    for line in tool("llvm-nm", "-m", path).splitlines():
        m = re.fullmatch(r"\s*(?:[0-9a-f]+\s+)?\(([^)]*)\)\s+(.*?)\s*(\S+)(?:\s+\(from (\S+)\))?", line)
        if not m:
            continue
        section, attrs, name, lib = m.groups()
        mangled = name[1:] if name.startswith("_") else name  # past Mach-O's leading underscore
        if section == "undefined":
            if lib is None:
                r.expect(C_API.fullmatch(mangled) is not None, f"looked up at load time, not the C API: {name}")
                undefined["C API"].append(mangled)
            elif lib in ("libc++", "libSystem") and CXX_RUNTIME.fullmatch(mangled):  # libSystem: the unwinder
                undefined["C++ runtime"].append(mangled)
            elif lib == "libSystem" and not C_API.fullmatch(mangled):
                undefined["C library"].append(mangled)
            else:
                r.expect(False, f"undefined symbol outside the C API, C library and C++ runtime: {name} ({lib})")
        elif "non-external" not in attrs:
            exported.append(name)
    # zig's linker also exports the image's own header symbols, which
    # Apple's keeps private: with two-level namespaces nothing binds to them.
    want = f"_PyInit_{module_name(path)}"
    header = {"__mh_dylib_header", "___dso_handle"}
    r.expect([n for n in exported if n not in header] == [want], f"exports {exported}, not only {want}")
    r.facts.append("exports " + ", ".join(exported))
    return r, undefined


def check(target, files):
    if not files:
        print(f"cross: {target}: nothing to check")
        return 1
    faults = 0
    seen = {}
    for path in files:
        r, undefined = (check_macho if target == "macos-arm64" else check_elf)(path)
        counts = ", ".join(f"{len(v)} {k}" for k, v in undefined.items() if v)
        print(f"cross: {target} {Path(path).name}: {'; '.join(r.facts)}; undefined: {counts}")
        for fault in r.faults:
            print(f"cross: {target} {Path(path).name}: FAULT: {fault}")
        faults += len(r.faults)
        for k, v in undefined.items():
            if k != "C API":
                seen.setdefault(k, set()).update(v)
    for k, v in seen.items():
        if v:
            print(f"cross: {target}: {k}: {' '.join(sorted(v))}")
    print(f"cross: {target}: {len(files)} modules, {faults} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["darwin-include"] and len(sys.argv) == 6:
        darwin_include(*sys.argv[2:])
    elif sys.argv[1:2] == ["check"] and len(sys.argv) >= 3:
        sys.exit(check(sys.argv[2], sys.argv[3:]))
    else:
        sys.exit(__doc__)
