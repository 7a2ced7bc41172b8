#!/usr/bin/env bash
# Installs what a build needs on a fresh Debian machine, only when something is missing.
# Usage: ensure-deps.sh package|test (test also covers make bench)
set -euo pipefail

need=()
want() { # want COMMAND-OR-PATH PACKAGE
    if [[ "$1" == /* ]]; then [[ -e "$1" ]] || need+=("$2"); else command -v "$1" >/dev/null 2>&1 || need+=("$2"); fi
}

want cmake cmake
want make make
want g++ g++
want python3 python3
want x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64-win32
want x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
# The image check disassembles the image with mingw's objdump and demangles with its c++filt.
want x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64
want x86_64-w64-mingw32-c++filt binutils-mingw-w64-x86-64
# Signing on Linux: Authenticode signatures, the test certificate, and the catalog, which the
# catalog tool encodes with Debian's asn1crypto (so Debian's own interpreter runs it).
want osslsigncode osslsigncode
want openssl openssl
want /usr/bin/python3 python3
want /usr/lib/python3/dist-packages/asn1crypto/__init__.py python3-asn1crypto
# The cabinet that the attestation signing service takes (make submission).
want gcab gcab
# The setup program (package/setup.nsi), built with NSIS 3.
want makensis nsis
if [[ "${1:-}" == test ]]; then
    want ctest cmake
    want /usr/src/googletest/CMakeLists.txt googletest
    # The SDDL fuzzer of the asan variant: clang with its libFuzzer runtime.
    want clang++ clang
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-dev)
    # The benchmark (make bench, and its smoke run among the tests) and the peer it measures.
    want /usr/include/benchmark/benchmark.h libbenchmark-dev
    want socat socat
    # The image's end-to-end stage: Wine's 64-bit loader, called by its full path because the
    # `wine` wrapper package is only a recommendation.
    want /usr/lib/wine/wine64 wine64
    # The network bridge's Wine steps: an RFC 2217 server on a pseudo-terminal pair, and
    # pyserial's RFC 2217 client (Debian's interpreter).
    want ser2net ser2net
    want /usr/lib/python3/dist-packages/serial/rfc2217.py python3-serial
fi

if ((${#need[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing packages: ${need[*]} (run as root, or install them)" >&2
        exit 1
    fi
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
