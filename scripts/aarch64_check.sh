#!/usr/bin/env bash
# Builds palettra for Linux on 64-bit ARM with zig's C++ driver (glibc 2.17 or
# later), warning-free and with the flags that keep the arithmetic exact, and
# checks what the module shows the dynamic loader. Then builds the program
# that checks the mapping kernels for this machine and for 64-bit ARM, runs
# the latter under qemu's user-mode emulation and compares the two outputs.
# Installs qemu and the ARM C library with apt-get when they are missing and
# it runs as root; where they cannot be had, it says so and skips the check.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=aarch64-linux-gnu.2.17
sysroot=/usr/aarch64-linux-gnu
skip() {
  echo "=== AArch64 check SKIPPED: $* ===" >&2
  exit 0
}
have_emulation() { command -v qemu-aarch64 >/dev/null && [[ -e "$sysroot/lib/ld-linux-aarch64.so.1" ]]; }

echo "=== AArch64 cross-build and emulated kernel check ===" >&2
if ! have_emulation && [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  echo "aarch64_check: installing qemu-user and libc6-arm64-cross" >&2
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user libc6-arm64-cross >/dev/null; } >&2 || true
fi
have_emulation || skip "needs qemu-aarch64 and the ARM C library in $sysroot (Debian: qemu-user, libc6-arm64-cross)"
tools=$("$root/scripts/dist_tools.sh") || skip "the release tools (requirements/dist.txt) could not be installed"
driver=$("$root/scripts/zig_cxx.sh" "$target")

build() {
  local dir=$1
  shift
  "$tools/bin/cmake" -S "$root" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror -DPALETTRA_KERNEL_CHECK=ON \
    -DPython_EXECUTABLE="$tools/bin/python" "$@" >/dev/null
  "$tools/bin/ninja" -C "$dir" "${targets[@]}" | { grep -v -e '^\[' -e '^ninja: ' || true; } >&2
}

# The module and the kernel check for ARM; the build fails on any warning.
# CPython's headers are the same on both processors but for pyconfig.h,
# whose sizes and features are those of any 64-bit Linux.
targets=(palettra nearest_rows_check)
build "$root/build/aarch64" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER="$driver" \
  -DPython_INCLUDE_DIR="$("$tools/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
module=$(echo "$root"/build/aarch64/palettra*.so)
"$tools/bin/python" - "$module" <<'EOF'
import sys

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

ALLOWED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-aarch64.so.1"}
with open(sys.argv[1], "rb") as file:
    elf = ELFFile(file)
    exported = [s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"]
    needed = {tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
              for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
    glibc = max(tuple(map(int, version.name.split("_")[1].split(".")))
                for section in elf.iter_sections() if section.name == ".gnu.version_r"
                for _, versions in section.iter_versions() for version in versions
                if version.name.startswith("GLIBC_"))
    problems = [f"machine {elf['e_machine']}"] if elf["e_machine"] != "EM_AARCH64" else []
    problems += [f"exports {exported}"] if exported != ["PyInit_palettra"] else []
    problems += [f"needs {sorted(needed - ALLOWED)}"] if needed - ALLOWED else []
    problems += [f"needs glibc {glibc}"] if glibc > (2, 17) else []
if problems:
    sys.exit(f"{sys.argv[1]}: " + "; ".join(problems))
print(f"aarch64_check: {sys.argv[1]}: AArch64, exports only PyInit_palettra, "
      f"needs {', '.join(sorted(needed))}, glibc {'.'.join(map(str, glibc))} or later", file=sys.stderr)
EOF

# The same check with this machine's own compiler: the regular build.
targets=(nearest_rows_check)
build "$root/build/kernels-native"
# Each run fails by itself on a row that differs from a plain search.
native=$("$root/build/kernels-native/tests/kernels/nearest_rows_check") || { echo "$native" >&2; exit 1; }
emulated=$(qemu-aarch64 -L "$sysroot" "$root/build/aarch64/tests/kernels/nearest_rows_check") \
  || { echo "$emulated" >&2; exit 1; }
if [[ "$native" != "$emulated" ]]; then
  diff <(echo "$native") <(echo "$emulated") >&2 || true
  echo "aarch64_check: the kernels choose differently under emulation (diff: native, emulated)" >&2
  exit 1
fi
echo "aarch64_check: $(wc -l <<<"$native") kernel cases give the same rows on $(uname -m) and emulated AArch64" >&2
