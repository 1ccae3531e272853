# Shared by run.sh and campaign.sh: the fuzz build, its seeds and the
# libFuzzer options every run uses. Sourced with root and build set.
targets="resource_table version_parser ico_reader module_group version_roundtrip icon_replace journal_replay version_tree"

# The regression folder of a target: tests/regressions/<name with dashes>/.
regression_dir() { echo "$root/tests/regressions/$(echo "$1" | tr _ -)"; }

build_fuzzers() {
    cmake -S "$root" -B "$build" -DVORNUTILS_FUZZ=ON -DVORNUTILS_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
    cmake --build "$build" --target vornutils_fuzzers -j "${jobs:-1}" >/dev/null
}

# The smaller PE files of Wine's 32- and 64-bit Windows folders, found
# through dpkg so that no machine path is assumed; none when Wine is
# missing. Whole files seed only when small; their resources always do.
wine_files() {
    for arch in i386 x86_64; do
        dpkg -L libwine:i386 libwine:amd64 2>/dev/null | grep -E "/$arch-windows/[^/]+\.(exe|dll)\$" |
            while read -r f; do [ -f "$f" ] && echo "$(stat -c %s "$f") $f"; done | sort -n | head -n 250 | cut -d' ' -f2
    done
}

make_seeds() {
    rm -rf "$build/seeds"
    # shellcheck disable=SC2046
    "$build/fuzz/fuzz_make_seeds" "$build/seeds" "$root"/samples/*.exe "$root"/samples/*.ico $(wine_files)
}

# Sizes an input cannot justify show up as allocations past this limit.
fuzz_options="-malloc_limit_mb=64 -rss_limit_mb=2048 -max_len=65536 -timeout=20 -print_final_stats=1"
