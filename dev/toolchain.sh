# Shared by dev/setup and dev/run: the package list and where its root lives.
packages() {
  cat <<'LIST'
python3.14-dev
python3.14-dbg
python3-pandas
python3-pyarrow
python3-numpy
python3-tqdm
python3-pytest
python3-pytest-timeout
python3-trustme
python3-redis
python3-hiredis
python3-hypothesis
python3-scikit-build-core
python3-pip
python3-psutil
python3-dask
redis-server
g++
clang
libclang-rt-dev
cmake
ninja-build
pkg-config
libssl-dev
libarrow-dev
libparquet-dev
ca-certificates
procps
LIST
}

root_path() {
  local key
  key=$(packages | sha256sum | cut -c1-16)
  echo "${CORVANE_ROOT_CACHE:-/var/cache/corvane}/forky-$key"
}

# A host python3.14 is only usable when everything the build and the tests import is there.
host_has_toolchain() {
  command -v python3.14 >/dev/null 2>&1 || return 1
  command -v redis-server >/dev/null 2>&1 || return 1
  command -v cmake >/dev/null 2>&1 || return 1
  python3.14 -c 'import pandas, pyarrow, numpy, tqdm, pytest, trustme, redis, hypothesis, scikit_build_core' \
    >/dev/null 2>&1
}
