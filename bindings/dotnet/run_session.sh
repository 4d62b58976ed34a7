#!/usr/bin/env bash
# Compiles the two C# sessions with mcs -warnaserror+ and runs them with mono against
# libtalven.so: Session.cs over the raw declarations (Talven.cs), WrapperSession.cs over the
# wrapper (Adapter.cs, AdapterOperations.cs).
#   run_session.sh <path of libtalven.so> <output folder>
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
# The wrapper is C# 5, for .NET Framework 4.x as well as .NET 6+.
mcs -langversion:5 -warnaserror+ -nologo -out:"$out/wrapper_session.exe" "$here/Talven.cs" "$here/Adapter.cs" \
  "$here/AdapterOperations.cs" "$here/WrapperSession.cs"
# DllImport("talven.dll") finds libtalven.so through LD_LIBRARY_PATH.
export LD_LIBRARY_PATH="$(dirname "$library")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
status=0
echo "== Session.cs (raw declarations)"
mono "$out/session.exe" || status=1
echo "== WrapperSession.cs (Talven.Adapter)"
mono "$out/wrapper_session.exe" || status=1
exit "$status"
