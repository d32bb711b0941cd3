#!/usr/bin/env bash
# Installs what is missing, builds, and starts the studio application.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
exec ./build/console/lumenfeed
