#!/usr/bin/env bash
# Optional test dependencies for the target roots, which reach no package
# index: wheels are downloaded on the host and installed inside the root.
#
#   tools/target_wheels.sh download ARCH PKG...   on the host: binary wheels of PKG and
#                                                 their requirements for CPython 3.14 on
#                                                 ARCH (amd64 or armhf) into
#                                                 build/target-wheels/ARCH
#   tools/target_wheels.sh install PKG...         inside a root: PKG from the wheels of
#                                                 its architecture ($TAVREL_TARGET_ARCH);
#                                                 a note and nothing else where there are
#                                                 none (the tests that need PKG skip)
#
# download fails when PKG or a requirement has no wheel for ARCH (pyarrow,
# polars and duckdb have none for armhf).  Used for the interchange peers
# and the distributed engine; none is a requirement of tavrel.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '5,13s/^# \{0,1\}//p' "$0" >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1
shift

case "$action" in
download)
  arch=$1
  shift
  [ $# -ge 1 ] || usage
  case "$arch" in
    amd64) machine=x86_64 ;;
    armhf) machine=armv7l ;;
    *) usage ;;
  esac
  # Every manylinux tag up to the roots' C library (Debian's is newer than
  # glibc 2.28): pip matches the platforms given and no others.
  platforms=(--platform "manylinux2014_$machine")
  for minor in $(seq 17 28); do
    platforms+=(--platform "manylinux_2_${minor}_$machine")
  done
  dir=build/target-wheels/$arch
  mkdir -p "$dir"
  "${PYTHON:-python3}" -m pip download -q --only-binary=:all: --implementation cp --python-version 3.14 \
    "${platforms[@]}" -d "$dir" "$@"
  ;;
install)
  arch=${TAVREL_TARGET_ARCH:?install runs inside a target root}
  dir=build/target-wheels/$arch
  if ! compgen -G "$dir/*.whl" >/dev/null; then
    echo "target_wheels: no wheels for $arch in $dir; tests needing $* will skip"
    exit 0
  fi
  python3 -m pip install -q --no-index --find-links "$dir" "$@"
  ;;
*)
  usage
  ;;
esac
