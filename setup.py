"""The hdx module as one self-contained extension: the library's sources and the default host
runtime compiled into it, so that it needs no libhdx.so at run time and binds no T_ service from
anywhere else. The flags are the CMake build's; the x86-64 baseline's vector unit, as there."""

import pathlib
import re

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).parent
VERSION = re.search(r"project\(hdx VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)
LIBRARY = sorted(str(p.relative_to(ROOT)) for d in ("scan", "extract", "datetime")
                 for p in (ROOT / "src" / d).glob("*.cpp"))
# The sender checks, from what the hosts share; they bring the C++ runtime.
CHECKS = [f"tools/common/{name}.cpp"
          for name in ("identity", "checks", "display", "domains", "mailbox_checks", "policy",
                       "record")]

# As the CMake build compiles them: no C++ runtime reaches the library's code (no exceptions, no
# RTTI), and nothing is visible from outside but what the version script below lets out.
COMMON = ["-fvisibility=hidden", "-fno-stack-protector", "-DNDEBUG"]
CXX = ["-std=c++20", "-fvisibility-inlines-hidden"]
LIBRARY_ONLY = ["-fno-exceptions", "-fno-rtti", "-fno-tree-loop-distribute-patterns"]
C = ["-std=c11"]


class BuildExt(build_ext):
    """Gives C++ sources the C++ flags and C sources the C ones: one compiler driver runs both,
    and GCC refuses a C++ standard for a C file."""

    def build_extensions(self):
        compile_one = self.compiler._compile

        def compile_by_language(obj, src, ext, cc_args, extra_postargs, pp_opts):
            # The checks turn running out of memory into a result at their C edge, which needs
            # exceptions; the library's own code has none.
            in_library = pathlib.Path(src).resolve().is_relative_to((ROOT / "src").resolve())
            flags = (COMMON + (CXX if src.endswith(".cpp") else C) +
                     (LIBRARY_ONLY if in_library else []))
            compile_one(obj, src, ext, cc_args, extra_postargs + flags, pp_opts)

        self.compiler._compile = compile_by_language
        # Only the module's entry point is exported: the HDX functions and the T_ services stay
        # inside, so another libhdx in the same process never binds to them, nor they to it.
        exports = pathlib.Path(self.build_temp) / "hdx.map"
        exports.parent.mkdir(parents=True, exist_ok=True)
        exports.write_text("{ global: PyInit_hdx; local: *; };\n")
        for extension in self.extensions:
            extension.extra_link_args.append(f"-Wl,--version-script={exports}")
        super().build_extensions()


setup(
    version=VERSION,
    # A package, so that the type stubs and their marker can travel with it (PEP 561); the
    # extension is the package itself, as "import hdx" finds it.
    packages=["hdx"],
    package_dir={"": "python"},
    package_data={"hdx": ["__init__.pyi", "py.typed"]},
    ext_modules=[Extension(
        "hdx.__init__",
        sources=["python/hdxmodule.c", "src/host/default_runtime.c", *LIBRARY, *CHECKS],
        include_dirs=["include", "src", "src/host", "tools/common"],
        language="c++",
        # What the checks compare by (Debian: libpsl-dev, libidn2-dev, libunistring-dev).
        libraries=["psl", "idn2", "unistring"],
    )],
    cmdclass={"build_ext": BuildExt},
    # Beside the CMake trees, not among them.
    options={"build": {"build_base": "build/setuptools"}},
)
