#!/usr/bin/env bash
# Compiles Talven.cs with the session (mcs -warnaserror+) and runs it with mono against
# libtalven.so.   run_session.sh <path of libtalven.so> <output folder>
set -euo pipefail
library=$1
out=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
for tool in mcs mono; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool not found: apt-get install mono-mcs mono-runtime (tools/setup.sh)" >&2
    exit 1
  fi
done
mkdir -p "$out"
mcs -warnaserror+ -nologo -out:"$out/session.exe" "$here/Talven.cs" "$here/Session.cs"
# DllImport("talven.dll") finds libtalven.so through LD_LIBRARY_PATH.
LD_LIBRARY_PATH="$(dirname "$library")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" mono "$out/session.exe"
