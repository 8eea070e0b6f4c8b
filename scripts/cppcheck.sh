#!/usr/bin/env bash
# Static analysis of the product's and the tests' sources: warnings, portability and
# performance checks, for both Windows bitnesses. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
for platform in win32A win64; do
    cppcheck --enable=warning,portability,performance --error-exitcode=1 --inline-suppr --quiet \
        --std=c++17 --platform="$platform" -I . -I gateway/hostapi \
        --library=windows --library=googletest --suppress=missingIncludeSystem \
        dllmain.cpp common privilege installer gateway standin_host demo bench tests
done
echo "cppcheck: clean"
