#!/usr/bin/env bash
# The lint gate: the formatting of every tracked C++ file (clang-format), clang-tidy over the
# program's sources against the MinGW-w64 headers of the cross build, and the direction of the
# includes in src/ (scripts/check-includes.py). Prints every finding and fails on any.
# Installs what it needs on Debian 12 and configures build/mingw, whose compile_commands.json
# tells clang-tidy how each file is built.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh git python3 cmake ninja-build clang-format clang-tidy \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
# Always (re)configure: it is quick once configured, and it brings compile_commands.json up to
# date with files added since.
cmake --preset mingw >/dev/null

failed=()

echo "== clang-format (check only; fix with: clang-format -i FILE)"
mapfile -t cpp_files < <(git ls-files '*.cpp' '*.h')
if clang-format --dry-run -Werror "${cpp_files[@]}"; then
    echo "${#cpp_files[@]} files formatted"
else
    failed+=(clang-format)
fi

echo "== clang-tidy (.clang-tidy: every finding is an error)"
# clang reads the MinGW-w64 headers and the MinGW-w64 GCC's C++ library headers, as the clang
# preset does (cmake/clang-mingw-w64-x86_64.cmake); GCC's own intrinsic headers stay out, since
# clang brings its own.
mingw_gxx=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++)
cxx_include=$(dirname "$("$mingw_gxx" -print-libgcc-file-name)")/include/c++
tidy_args=(-p build/mingw --quiet --extra-arg=--target=x86_64-w64-mingw32
    --extra-arg=--sysroot=/usr/x86_64-w64-mingw32)
for dir in "$cxx_include" "$cxx_include/x86_64-w64-mingw32" "$cxx_include/backward"; do
    tidy_args+=("--extra-arg=-stdlib++-isystem$dir")
done
mapfile -t program_sources < <(git ls-files 'src/*.cpp')
# Findings go to stdout, errors (a file it cannot compile) to stderr, which also gets a line
# "N warnings generated." per file for what it hides in system headers: drop only those lines.
if clang-tidy "${tidy_args[@]}" "${program_sources[@]}" 2>&1 |
    { grep -v -E '^[0-9]+ warnings? generated\.$' || true; }; then
    echo "${#program_sources[@]} files without findings"
else
    failed+=(clang-tidy)
fi

echo "== includes (scripts/check-includes.py)"
if ! python3 scripts/check-includes.py --self-test 2>&1; then
    failed+=(check-includes-self-test)
fi
if ! python3 scripts/check-includes.py; then
    failed+=(check-includes)
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "lint: FAILED: ${failed[*]}"
    exit 1
fi
echo "lint: passed"
