#!/usr/bin/env bash
# Non-blank lines of the product's code and of its tests, and their ratio. Product: the
# library (include/, src/), the shared internal libraries, interfaces/, the host-control
# library, the plug-ins, the command and the enrolment service. Tests: tests/ without fuzz
# corpora and dictionaries.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | grep -E '\.(c|cc|cpp|h|hpp|inc|sh|cmake)$|CMakeLists\.txt$' |
    grep -v '/corpus/' | xargs cat | grep -cv '^[[:space:]]*$'; }
code=$(count include src fileio thumbprint pluginresults helperwire interfaces hostctl plugins \
    cli proxy)
tests=$(count tests)
echo "product code: $code non-blank lines"
echo "tests:        $tests non-blank lines ($((100 * tests / code))% of the code)"
