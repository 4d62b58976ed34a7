#!/usr/bin/env bash
# Installs what the builds need, and only what is missing. Safe to run any number of times; a
# machine that has everything is left untouched.
#   setup.sh session   what tools/run_session.sh builds: cmake, make, g++, CLI11 and
#                      nlohmann-json (talvenctl, header-only) and unixODBC (talvenctl's
#                      station database)
#   setup.sh           everything tools/test.sh needs besides: GoogleTest and GoogleMock, lld
#                      and clang (MSVC import library, fuzzing), Mono, pytest, pip and venv,
#                      pkg-config (the bindings' checks), Unicorn (the i686 emulator), the
#                      PostgreSQL ODBC driver and server (talvenctl's station database), Wine
#                      and the MinGW-w64 cross compilers and binutils for i686 and x86_64
set -euo pipefail

what=${1:-all}
if [[ $what != session && $what != all ]]; then
  echo "usage: setup.sh [session|all]" >&2
  exit 2
fi

missing=()
need() { missing+=("$1"); }

command -v cmake >/dev/null || need cmake
command -v make >/dev/null || need make
command -v g++ >/dev/null || need g++
# talvenctl: command line and JSON (header-only); its tests run under pytest (below).
[[ -f /usr/include/CLI/CLI.hpp ]] || need libcli11-dev
[[ -f /usr/include/nlohmann/json.hpp ]] || need nlohmann-json3-dev
# talvenctl reaches a station database through ODBC: unixODBC's headers and driver manager.
[[ -f /usr/include/sqlext.h ]] || need unixodbc-dev

# The rest is for tools/test.sh.
if [[ $what == all ]]; then
  [[ -f /usr/include/gtest/gtest.h ]] || need libgtest-dev
  [[ -f /usr/include/gmock/gmock.h ]] || need libgmock-dev
  # The benchmarks (preset bench) use Google Benchmark.
  [[ -f /usr/include/benchmark/benchmark.h ]] || need libbenchmark-dev
  # The MSVC import library is written by lld-link; its check compiles with clang for MSVC.
  command -v lld-link >/dev/null || need lld
  command -v clang >/dev/null || need clang
  # The fuzz target of the reliability run needs clang's libFuzzer and sanitizer runtimes.
  compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
    need libclang-rt-14-dev
  # The bindings' checks: the C# session under Mono, the Python package and talvenctl's tests with
  # Debian's pytest, and a C program built from the installed pkg-config file.
  command -v mcs >/dev/null || need mono-mcs
  command -v mono >/dev/null || need mono-runtime
  /usr/bin/python3 -c 'import pytest' 2>/dev/null || need python3-pytest
  command -v pkg-config >/dev/null || need pkg-config
  # talvenctl's tests trace its backup's flushes (the file, then its folder) with strace.
  command -v strace >/dev/null || need strace
  # talvenctl's station database: the PostgreSQL ODBC driver, and the PostgreSQL server its
  # tests start for themselves (tools/with_postgres.sh).
  compgen -G '/usr/lib/*/odbc/psqlodbcw.so' >/dev/null || need odbc-postgresql
  compgen -G '/usr/lib/postgresql/*/bin/pg_ctl' >/dev/null || need postgresql
  # The Python package installs with pip into a virtual environment (from the repository, with
  # Debian's setuptools: no package index is asked).
  /usr/bin/python3 -c 'import ensurepip' 2>/dev/null || need python3-venv
  /usr/bin/python3 -c 'import setuptools' 2>/dev/null || need python3-setuptools
  /usr/bin/python3 -m pip --version >/dev/null 2>&1 || need python3-pip
  # The 32-bit DLL runs in the Unicorn x86-32 emulator (i686_emulator/, its C API).
  [[ -f /usr/include/unicorn/unicorn.h ]] || need libunicorn-dev
  # The 64-bit DLL's smoke test runs under Wine.
  [[ -x /usr/lib/wine/wine64 ]] || need wine64
  for arch in i686 x86_64; do
    package_arch=${arch//_/-}
    command -v "$arch-w64-mingw32-g++" >/dev/null || need "g++-mingw-w64-$package_arch"
    for tool in objdump windres dlltool; do
      if ! command -v "$arch-w64-mingw32-$tool" >/dev/null; then
        need "binutils-mingw-w64-$package_arch"
        break
      fi
    done
  done
fi

if [[ ${#missing[@]} -gt 0 ]]; then
  # The same package can be named twice above; install each once.
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  echo "setup: missing ${missing[*]}"
  if [[ $(id -u) -eq 0 ]]; then
    as_root=()
  elif command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    echo "setup: not root and no sudo; as root, run:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  if ! command -v apt-get >/dev/null; then
    echo "setup: apt-get not found; install these packages (Debian names): ${missing[*]}" >&2
    exit 1
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The presets need cmake 3.25 or newer.
version=$(cmake --version | awk 'NR == 1 { print $3 }')
if ! printf '3.25.0\n%s\n' "$version" | sort -V -C; then
  echo "setup: cmake $version is too old; the presets need 3.25 or newer" >&2
  exit 1
fi
if [[ $what == all ]]; then
  echo "setup: cmake $version, g++ $(g++ -dumpversion), MinGW-w64 i686 and x86_64 ready"
else
  echo "setup: cmake $version, g++ $(g++ -dumpversion) ready"
fi
