#!/usr/bin/env python3
"""Helpers of scripts/cross, run inside the chroot.

  cross.py darwin-include LINUX_PYCONFIG HEADERS ZIG_DARWIN_INCLUDE OUT
      a copy of the interpreter's headers for macOS, with a pyconfig.h
      derived from the Linux one of the same processor
  cross.py windows-include LINUX_PYCONFIG HEADERS OUT
      the same for Windows x86_64, derived from the Linux x86_64 one
  cross.py linux-include LINUX_PYCONFIG HEADERS OUT
      a copy of the headers with that pyconfig.h as it is (Debian's own
      pyconfig.h only picks the multiarch one from /usr/include, which a
      compiler for another C library must not search)
  cross.py import-def DLL HEADERS OBJECT...
      prints a module-definition file for DLL (python3XX.dll) that lists
      the interpreter's names the objects import, those that the headers
      declare as data marked DATA
  cross.py check TARGET [--libc FILE] [--headers DIR --dll DLL] FILE...
      checks each built module for TARGET (linux-aarch64, linux-x86_64-musl,
      macos-arm64, macos-x86_64, windows-x86_64) and prints what it found;
      exits 1 on any fault. --libc names zig's list of musl's symbols (for
      musl), --headers and --dll the headers of the Windows build and the
      interpreter's DLL (for Windows).

The macOS pyconfig.h: no macOS build of the interpreter is reachable here,
so its configuration is derived from Debian's for Linux on the same
processor, with the same LP64 data model. The interpreter's own
pymacconfig.h, which Python.h includes right after pyconfig.h, redefines
every size and alignment that differs on macOS (long double and
max_align_t); what remains to change is what configure finds differently
on macOS: the feature-test macros it does not define there, the Linux-only
facilities (perf trampolines, DTrace probes, two pthread and semaphore
calls), and every HAVE_*_H whose header is not among zig's macOS headers (a
few that macOS does have go too, which is harmless: no public header reads
them).

The Windows pyconfig.h: neither a Windows build of the interpreter nor its
sources are reachable here either. Windows builds use a configuration
written by hand, not one that configure finds; derived from Debian's for
Linux x86_64, it takes MSVC's data model (LLP64: long is 4 bytes, wchar_t
2), the Windows macros, and a DLL build (Py_ENABLE_SHARED with
HAVE_DECLSPEC_DLL, so that the C API is imported through __imp_ pointers
and PyInit_ is dllexport; without them mingw's automatic import links the
modules silently, and the linker exports every symbol). Of Linux's HAVE_*
only those the Windows configuration has too, and the public headers read,
are kept: a stray HAVE_PTHREAD_H would change the layout of Py_tss_t.

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


def copy_headers(headers, out, text):
    """The headers with `text` as pyconfig.h. Copies keep their times, and
    pyconfig.h is written only when it changes, so that a rerun compiles
    nothing again."""
    headers, out = Path(headers), Path(out)
    dest = out / headers.name
    shutil.copytree(headers, dest, dirs_exist_ok=True,
                    ignore=lambda d, names: ["pyconfig.h"] if Path(d) == headers else [])
    config = dest / "pyconfig.h"
    if config.is_symlink() or not config.is_file() or config.read_text() != text:
        config.unlink(missing_ok=True)
        config.write_text(text)
    return dest


def define_name(line):
    m = re.match(r"\s*#\s*define\s+(\w+)", line)
    return m and m.group(1)


def darwin_include(linux_pyconfig, headers, darwin, out):
    darwin = Path(darwin)
    dropped = []
    lines = []
    for line in Path(linux_pyconfig).read_text().splitlines():
        name = define_name(line)
        if name and (name in NOT_ON_MACOS or re.fullmatch(r"HAVE_\w+_H", name) and not header_exists(name, darwin)):
            dropped.append(name)
            continue
        lines.append(line)
    text = (f"/* Derived by scripts/cross.py from Debian's {linux_pyconfig}\n"
            "   for a compile-and-link check on macOS; sizes come from pymacconfig.h. */\n"
            + "\n".join(lines) + "\n")
    dest = copy_headers(headers, out, text)
    print(f"cross: {dest}/pyconfig.h: derived from {linux_pyconfig}, "
          f"{len(dropped)} macros dropped: {' '.join(sorted(dropped))}")


# MSVC's data model on x86_64 where it differs from Linux's; the rest
# (int, long long, pointers, size_t, time_t, double, float, short, _Bool)
# is the same on both.
WINDOWS_SIZES = {"SIZEOF_LONG": "4", "ALIGNOF_LONG": "4", "SIZEOF_WCHAR_T": "2", "SIZEOF_LONG_DOUBLE": "8",
                 "ALIGNOF_MAX_ALIGN_T": "8", "SIZEOF_OFF_T": "4", "SIZEOF_FPOS_T": "8", "SIZEOF_PID_T": "4"}
# What the Windows configuration also has, of what the public headers read.
WINDOWS_HAVE = {"HAVE_DYNAMIC_LOADING", "HAVE_SYS_STAT_H", "HAVE_SYS_TYPES_H", "HAVE_WCHAR_H"}
# Linux's feature-test and build macros, and Linux-only sizes and facilities.
NOT_ON_WINDOWS = re.compile(r"_\w+_SOURCE\w*|_FILE_OFFSET_BITS|_REENTRANT|__BSD_VISIBLE|_POSIX_\w+"
                            r"|SIZEOF_PTHREAD_\w+|PY_HAVE_PERF_TRAMPOLINE|WITH_DTRACE|HAVE_\w+")
WINDOWS_ADDED = """
/* Windows, as its own configuration defines it: a DLL build, with the C
   API imported from python3XX.dll and module entries exported. */
#define MS_WIN32
#define MS_WINDOWS
#ifdef _WIN64
#define MS_WIN64
#endif
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PLATFORM "win32"
#ifdef MS_WIN64
typedef long long Py_ssize_t;  /* __int64 */
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_PY_SSIZE_T 1
#endif
"""


def windows_include(linux_pyconfig, headers, out):
    dropped, changed = [], []
    lines = []
    for line in Path(linux_pyconfig).read_text().splitlines():
        name = define_name(line)
        if name in WINDOWS_SIZES:
            lines.append(f"#define {name} {WINDOWS_SIZES[name]}")
            changed.append(f"{name}={WINDOWS_SIZES[name]}")
            continue
        if name and name not in WINDOWS_HAVE and NOT_ON_WINDOWS.fullmatch(name):
            dropped.append(name)
            continue
        if re.match(r"\s*#\s*endif\s*/\*\s*Py_PYCONFIG_H", line):
            lines.append(WINDOWS_ADDED)
        lines.append(line)
    missing = set(WINDOWS_SIZES) - {c.split("=")[0] for c in changed}
    if missing:
        sys.exit(f"cross: {linux_pyconfig} does not define {sorted(missing)}")
    text = (f"/* Derived by scripts/cross.py from Debian's {linux_pyconfig}\n"
            "   for a compile-and-link check on Windows x86_64 (MSVC's data model). */\n"
            + "\n".join(lines) + "\n")
    if "MS_WINDOWS" not in text:
        sys.exit(f"cross: no end of Py_PYCONFIG_H found in {linux_pyconfig}")
    dest = copy_headers(headers, out, text)
    print(f"cross: {dest}/pyconfig.h: derived from {linux_pyconfig}; set {' '.join(changed)}; "
          f"added the Windows and DLL macros; {len(dropped)} macros dropped")


def linux_include(linux_pyconfig, headers, out):
    dest = copy_headers(headers, out, Path(linux_pyconfig).read_text())
    print(f"cross: {dest}/pyconfig.h: {linux_pyconfig} as it is")


def declared_api(headers):
    """(functions, data): the names the interpreter's headers declare with
    PyAPI_FUNC and PyAPI_DATA."""
    funcs, data = set(), set()
    balanced = r"\((?:[^()]|\([^()]*\))*\)"
    for h in Path(headers).rglob("*.h"):
        text = h.read_text(errors="replace")
        funcs.update(re.findall(r"PyAPI_FUNC" + balanced + r"\s*\(?\s*(\w+)\s*\)?\s*\(", text))
        data.update(re.findall(r"PyAPI_DATA" + balanced + r"\s*\(?\s*\*?\s*(\w+)", text))
    return funcs, data


def undefined_symbols(obj):
    return tool("llvm-nm", "--undefined-only", "--format=just-symbols", str(obj)).split()


def import_def(dll, headers, objects):
    funcs, data = declared_api(headers)
    names = sorted({n[len("__imp_"):] for o in objects for n in undefined_symbols(o)
                    if n.startswith("__imp_") and n[len("__imp_"):] in funcs | data})
    print(f"LIBRARY {dll}\nEXPORTS")
    for n in names:
        print(f"  {n}{' DATA' if n in data else ''}")


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


ELF_TARGETS = {
    # machine, libraries it may need
    "linux-aarch64": ("AArch64", {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libstdc++.so.6",
                                  "libgcc_s.so.1", "ld-linux-aarch64.so.1"}),
    # zig links libc++, libc++abi and libunwind in: only musl's libc remains.
    "linux-x86_64-musl": ("Advanced Micro Devices X86-64", {"libc.so", "libc.musl-x86_64.so.1"}),
}


def musl_symbols(libc_s):
    """What musl's libc.so defines, from zig's list of it (lib/libc/musl/libc.S)."""
    return set(re.findall(r"^\.(?:globl|weak)\s+(\w+)", Path(libc_s).read_text(), re.M))


def check_elf(path, target, libc=None):
    r = Report(path)
    want_machine, allowed = ELF_TARGETS[target]
    musl = libc is not None
    header = tool("llvm-readelf", "-h", path)
    machine = re.search(r"Machine:\s+(.+)", header).group(1).strip()
    klass = re.search(r"Class:\s+(\S+)", header).group(1)
    r.expect(machine == want_machine and klass == "ELF64", f"not a 64-bit {want_machine} ELF: {klass} {machine}")
    r.facts.append(f"{klass} {machine}")
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", tool("llvm-readelf", "-d", path))
    r.expect(set(needed) <= allowed, f"needs other libraries: {sorted(set(needed) - allowed)}")
    r.facts.append("needs " + ", ".join(needed))
    if musl:
        # musl has no symbol versions: any version is glibc's (or libstdc++'s).
        sections = tool("llvm-readelf", "-S", "-W", path)
        r.expect(".gnu.version_r" not in sections, "requires symbol versions (.gnu.version_r)")
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
        elif musl and not version and name in libc:
            undefined["C library"].append(name)
        elif musl:
            r.expect(False, f"undefined symbol outside the C API and musl's libc: {full}")
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
    if musl:
        r.facts.append("no symbol versions")
    else:
        top = max(glibc, default=(0,))
        r.expect(top <= GLIBC_MAX, f"needs GLIBC_{'.'.join(map(str, top))}, above {GLIBC_MAX}")
        r.facts.append(f"highest GLIBC_{'.'.join(map(str, top))}")
    if cxx_versions:
        r.facts.append("C++ runtime versions " + ", ".join(sorted(cxx_versions)))
    return r, undefined


LC_CODE_SIGNATURE = 0x1D
LC_CODE_SIGNATURE_NAME = "LC_CODE_SIGNATURE"
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


def check_macho(path, target):
    r = Report(path)
    arch = {"macos-arm64": "ARM64", "macos-x86_64": "X86_64"}[target]
    head = tool("llvm-objdump", "--macho", "--private-header", path)
    fields = head.splitlines()[-1].split()
    r.expect(fields[:2] == ["MH_MAGIC_64", arch], f"not a 64-bit {arch.lower()} Mach-O: {fields[:2]}")
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
    # macOS loads nothing unsigned on arm64; on x86_64 a signature is
    # optional, and neither zig's linker nor Apple's writes one there.
    if arch == "ARM64" or LC_CODE_SIGNATURE_NAME in cmds:
        verify_signature(path, r)
    else:
        r.facts.append("unsigned (as Apple's linker leaves x86_64)")
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


# What Windows itself provides: the kernel and the universal C runtime.
WINDOWS_SYSTEM_DLL = re.compile(r"(?i)kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll")


def coff_blocks(text, kind):
    """The `kind { ... }` blocks of llvm-readobj's output, each as its lines."""
    return [m.group(1).splitlines() for m in re.finditer(r"^\s*" + kind + r" \{\n(.*?)^\s*\}", text, re.M | re.S)]


def check_pe(path, headers, dll):
    r = Report(path)
    funcs, data = declared_api(headers)
    head = tool("llvm-readobj", "--file-headers", path)
    machine = re.search(r"Machine: (\S+)", head).group(1)
    magic = re.search(r"Magic: (\S+)", head).group(1)
    r.expect(machine == "IMAGE_FILE_MACHINE_AMD64", f"machine {machine}, not AMD64")
    r.expect(magic == "0x20B", f"optional header magic {magic}, not PE32+ (0x20B)")
    r.expect("IMAGE_FILE_DLL " in head, "not a DLL")
    r.facts.append(f"PE32+ {machine[len('IMAGE_FILE_MACHINE_'):].lower()} DLL")
    exported = [line.split(":", 1)[1].strip() for b in coff_blocks(tool("llvm-readobj", "--coff-exports", path), "Export")
                for line in b if line.strip().startswith("Name:")]
    want = f"PyInit_{module_name(path)}"
    r.expect(exported == [want], f"exports {exported}, not only {want}")
    r.facts.append("exports " + ", ".join(exported))
    undefined = {"C API": [], "C library": []}
    imports = tool("llvm-readobj", "--coff-imports", path)
    r.expect("DelayImport {" not in imports, "delay-loaded imports")
    dlls = []
    for b in coff_blocks(imports, "Import"):
        name = b[0].split(":", 1)[1].strip()
        symbols = [line.split(":", 1)[1].split()[0] for line in b if line.strip().startswith("Symbol:")]
        dlls.append(f"{name} ({len(symbols)})")
        if name.lower() == dll.lower():
            for sym in symbols:
                r.expect(sym in funcs | data, f"imports {sym} from {dll}, which the headers do not declare")
            undefined["C API"] += symbols
        elif WINDOWS_SYSTEM_DLL.fullmatch(name):
            undefined["C library"] += symbols
        else:
            r.expect(False, f"imports from {name}: {symbols}")
    r.facts.append("imports " + ", ".join(dlls))
    # Without dllimport on the C API (HAVE_DECLSPEC_DLL), mingw's automatic
    # import would link a plain reference to PyExc_TypeError through a
    # runtime fixup, silently: every reference must go through __imp_.
    objects = sorted((Path(path).parent / "CMakeFiles" / f"{module_name(path)}.dir").rglob("*.obj"))
    r.expect(bool(objects), "no object files found beside it")
    defined, refs = set(), set()
    for o in objects:
        defined.update(tool("llvm-nm", "--defined-only", "--format=just-symbols", str(o)).split())
        refs.update(undefined_symbols(o))
    direct = sorted(n for n in refs - defined if C_API.fullmatch(n))
    r.expect(not direct, f"C API referenced without __imp_: {direct}")
    r.facts.append(f"{len(objects)} objects, {sum(n.startswith('__imp_') and C_API.fullmatch(n[6:]) is not None for n in refs)}"
                   " C API names through __imp_, none directly")
    return r, undefined


def check(target, files, libc=None, headers=None, dll=None):
    if not files:
        print(f"cross: {target}: nothing to check")
        return 1
    faults = 0
    seen = {}
    for path in files:
        if target.startswith("macos-"):
            r, undefined = check_macho(path, target)
        elif target.startswith("windows-"):
            r, undefined = check_pe(path, headers, dll)
        else:
            r, undefined = check_elf(path, target, musl_symbols(libc) if libc else None)
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


def main(argv):
    cmd, args = argv[0] if argv else None, argv[1:]
    if cmd == "darwin-include" and len(args) == 4:
        darwin_include(*args)
    elif cmd == "windows-include" and len(args) == 3:
        windows_include(*args)
    elif cmd == "linux-include" and len(args) == 3:
        linux_include(*args)
    elif cmd == "import-def" and len(args) >= 2:
        import_def(args[0], args[1], args[2:])
    elif cmd == "check" and args:
        target, rest, opts = args[0], args[1:], {}
        while rest[:1] and rest[0] in ("--libc", "--headers", "--dll") and len(rest) >= 2:
            opts[rest[0][2:]] = rest[1]
            rest = rest[2:]
        if target == "linux-x86_64-musl" and "libc" not in opts or target.startswith("windows-") and \
                not {"headers", "dll"} <= set(opts):
            sys.exit(__doc__)
        return check(target, rest, **opts)
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
