#!/usr/bin/env bash
# Builds everything (default preset) and runs the main job, `ovproxy resolve`,
# on an example: a manual proxy configuration with a bypass list, answered
# for a few URLs.
# Extra arguments replace the example URLs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"

urls=("$@")
if [ ${#urls[@]} -eq 0 ]; then
  urls=(https://intranet.corp.example/wiki http://example.org/ http://printer/ https://127.0.0.1:8443/)
fi
proxy="http=proxy.corp.example:3128;https=proxy.corp.example:3129"
bypass="*.corp.example;<local>"
echo "+ ovproxy resolve --proxy \"$proxy\" --bypass \"$bypass\" ${urls[*]}"
build/default/tools/ovproxy resolve --proxy "$proxy" --bypass "$bypass" "${urls[@]}"
