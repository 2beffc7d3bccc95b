#!/usr/bin/env bash
# Installs the package into a scratch prefix, then builds and runs the
# stand-alone consumer against it twice: through the CMake package and
# through pkg-config. Usage: check_install.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build_dir=$1 source_dir=$2 work_dir=$3
prefix=$work_dir/prefix
rm -rf "$work_dir"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

cmake -S "$source_dir/examples/consumer" -B "$work_dir/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work_dir/cmake" >/dev/null
out=$("$work_dir/cmake/orvaproxy_example" "proxy:3128" "*.corp.example" https://a.corp.example/)
grep -q "ProxyConfig{type=MANUAL, single_proxies=PROXY proxy:3128, source=System}" <<<"$out"
grep -q "bypassed" <<<"$out"

libdir=$(find "$prefix" -name orvaproxy.pc -printf '%h\n' | head -n 1)
export PKG_CONFIG_PATH=$libdir
c++ -o "$work_dir/pc_consumer" "$source_dir/examples/consumer/main.cc" \
  $(pkg-config --cflags --libs orvaproxy) -Wl,-rpath,"$(pkg-config --variable=libdir orvaproxy)"
"$work_dir/pc_consumer" "http=a:80" >/dev/null

# The host example loads the module and resolves on the configuration of
# the environment, away from the user's settings and data-sync bus.
cmake -S "$source_dir/examples/host" -B "$work_dir/host" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work_dir/host" >/dev/null
mkdir -p "$work_dir/home" "$work_dir/run"
chmod 700 "$work_dir/run"
out=$(env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u KDE_FULL_SESSION -u all_proxy -u ALL_PROXY \
  HOME="$work_dir/home" XDG_CONFIG_HOME="$work_dir/home" XDG_DATA_HOME="$work_dir/home" \
  XDG_CONFIG_DIRS="$work_dir/home" XDG_DATA_DIRS="$work_dir/home" XDG_RUNTIME_DIR="$work_dir/run" \
  http_proxy=http://envproxy:3128 https_proxy=http://envproxy:3128 no_proxy=.corp.example \
  "$work_dir/host/orvaproxy_host" https://example.org/ https://a.corp.example/)
grep -q "https://example.org/	PROXY envproxy:3128; DIRECT" <<<"$out"
grep -q "https://a.corp.example/	DIRECT" <<<"$out"

# Only the classes meant for callers, and the module's two entry points,
# leave the library.
exported=$(nm -DC --defined-only "$prefix"/lib*/libOrvaProxy.so | grep -E ' T ' || true)
foreign=$(grep -v 'OVProxy::' <<<"$exported" | grep -vE ' T (InitModule|TermModule)$' || true)
if [ -n "$foreign" ]; then
  echo "libOrvaProxy.so exports symbols outside OVProxy:" >&2
  head -n 20 <<<"$foreign" >&2
  exit 1
fi
echo "install check passed"
