#!/usr/bin/env bash
# Builds each host variant and runs ctest in it, then the image's own tests and the image under
# Wine; prints ctest's summary per stage and fails if any stage failed.
set -uo pipefail
build=$1; shift
jobs=$(nproc)
failed=()

for variant in "$@"; do
    dir=$build/host-$variant
    echo "=== host variant: $variant"
    if ! cmake -S . -B "$dir" -DVCB_VARIANT="$variant" >/dev/null ||
       ! cmake --build "$dir" -j "$jobs"; then
        failed+=("$variant (build)")
        continue
    fi
    # TSan needs the ASLR layout it was built for; setarch -R keeps it working on kernels with
    # high mmap randomisation.
    runner=()
    [[ $variant == tsan ]] && command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
    "${runner[@]}" ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 || failed+=("$variant")
done

echo "=== image"
ctest --test-dir "$build/windows" --label-exclude wine --output-on-failure --timeout 300 ||
    failed+=("image")

# The packaged image installed and driven end to end in a fresh Wine prefix (tests/wine): once,
# whatever the host variants.
echo "=== wine"
ctest --test-dir "$build/windows" --label-regex wine --output-on-failure || failed+=("wine")

if ((${#failed[@]})); then
    echo "FAILED: ${failed[*]}" >&2
    exit 1
fi
