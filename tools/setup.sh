# shellcheck shell=bash
# Set-up steps of ./zar, sourced by it: Debian packages, the 32-bit
# dependency prefix, configure, build and test. Every step is quiet when it
# works and writes what it did to build/setup.log; a step that fails prints
# its whole output and stops the run.
#
# Expects ZAR_ROOT (the repository) to be set by the caller.

ZAR_BUILD="${ZAR_BUILD:-$ZAR_ROOT/build}"
ZAR_DEPS="$ZAR_ROOT/.deps/i386"
ZAR_LOG="$ZAR_BUILD/setup.log"

# What the build needs from Debian. 'file' checks the dependency prefix;
# dpkg-dev unpacks source packages.
ZAR_PACKAGES=(g++-multilib lib32z1-dev cmake ninja-build nasm dpkg-dev googletest file)
# The window layer's font (drawn through FreeType, the same on every host).
ZAR_PACKAGES+=(fonts-dejavu-core)

# Bump when the libjpeg-turbo recipe below changes: an older prefix is rebuilt.
ZAR_JPEG_RECIPE=1

# Our own apt source file for Debian source packages; a name no other tool
# uses, so it can be rewritten freely.
ZAR_SRC_LIST_BASE=/etc/apt/sources.list.d/zar-deb-src

zar_say() { printf 'zar: %s\n' "$*" >&2; }

zar_die() {
    printf 'zar: error: %s\n' "$*" >&2
    exit 1
}

zar_log_init() {
    mkdir -p "$ZAR_BUILD"
    : >"$ZAR_LOG"
    printf '# %s ./zar %s\n' "$(date -Is)" "$*" >>"$ZAR_LOG"
}

# Runs a command (or one of our functions) in a subshell that stops at its
# first failing command, and leaves its status in ZAR_RC. Bash ignores
# 'set -e' inside anything tested with '||' or 'if', so this must itself be
# called as a plain command; it always returns 0.
zar_run_strict() {
    local had_e=0
    case $- in *e*) had_e=1 ;; esac
    set +e
    (
        set -eo pipefail
        "$@"
    )
    ZAR_RC=$?
    [ "$had_e" -eq 1 ] && set -e
    return 0
}

# zar_step <what> <command...>: runs the command with its output going to the
# log only. On failure the command's output is shown in full, since that is
# the one moment somebody needs to read it.
zar_step() {
    local what="$1"
    shift
    local out rc=0
    out="$(mktemp "${TMPDIR:-/tmp}/zar-step.XXXXXX")"
    printf '\n## %s\n$ %s\n' "$what" "$*" >>"$ZAR_LOG"
    zar_run_strict "$@" >"$out" 2>&1
    rc=$ZAR_RC
    cat "$out" >>"$ZAR_LOG"
    if [ "$rc" -ne 0 ]; then
        printf 'zar: %s failed (exit %d). Its output:\n' "$what" "$rc" >&2
        cat "$out" >&2
        rm -f "$out"
        printf 'zar: the whole log is %s\n' "$ZAR_LOG" >&2
        exit "$rc"
    fi
    rm -f "$out"
}

# zar_quiet <what> <command...>: like zar_step, but a failure is only noted
# in the log (apt-get update fails on one index or another on many machines,
# and the install right after it is what tells whether that mattered).
zar_quiet() {
    local what="$1"
    shift
    local rc=0
    printf '\n## %s (failure tolerated)\n$ %s\n' "$what" "$*" >>"$ZAR_LOG"
    zar_run_strict "$@" >>"$ZAR_LOG" 2>&1
    rc=$ZAR_RC
    [ "$rc" -eq 0 ] || printf '## exit %d, carrying on\n' "$rc" >>"$ZAR_LOG"
    return 0
}

# Runs a command as root: directly when we are root, else through sudo.
# Under CI nothing may wait for a password, so sudo must not prompt there.
zar_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        if [ "${CI:-}" = true ]; then
            sudo -n "$@"
        else
            sudo "$@"
        fi
    else
        echo "root is needed for: $* (not root, and sudo is not installed)" >&2
        return 1
    fi
}

zar_apt_get() {
    zar_as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"
}

# ---- Packages ----

# zar_missing_packages <package...>: those of them not installed.
zar_missing_packages() {
    local p status
    for p in "$@"; do
        status="$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)"
        [ "$status" = installed ] || printf '%s\n' "$p"
    done
}

# zar_install <package...>: installs those not installed yet.
zar_install() {
    local missing
    mapfile -t missing < <(zar_missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0
    zar_say "installing Debian packages: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ] && [ "${CI:-}" != true ] && command -v sudo >/dev/null 2>&1; then
        # A password prompt must reach the terminal before output is hidden.
        sudo -v || zar_die "sudo is needed to install: ${missing[*]}"
    fi
    zar_quiet "apt-get update" zar_apt_get update
    zar_step "installing ${missing[*]}" zar_apt_get install -y --no-install-recommends "${missing[@]}"
    mapfile -t missing < <(zar_missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] || zar_die "still not installed after apt-get install: ${missing[*]}"
}

zar_packages() { zar_install "${ZAR_PACKAGES[@]}"; }

# ---- Running i386 programs ----

# The smallest i386 program, built once into the build folder.
ZAR_PROBE="$ZAR_BUILD/i386-probe"
zar_i386_probe() {
    [ -x "$ZAR_PROBE" ] && return 0
    printf 'int main(void) { return 0; }\n' >"$ZAR_PROBE.c"
    zar_step "building the i386 probe program" gcc -m32 -o "$ZAR_PROBE" "$ZAR_PROBE.c"
}

# Decides how the system's i386 programs run and exports ZAR_EMULATOR
# (empty: directly). A host whose kernel refuses them (its 32-bit emulation
# is off) runs them under Debian's qemu-i386; ZAR_EMULATE=1 asks for that
# anywhere. tools/run-i386 reads the choice, so tests, the demo, the
# benchmarks and every program they start go the same way.
zar_choose_runner() {
    local probe="$ZAR_PROBE" why
    zar_i386_probe
    if [ "${ZAR_EMULATE:-0}" = 1 ]; then
        why="ZAR_EMULATE=1"
    elif "$probe" >/dev/null 2>&1; then
        export ZAR_EMULATOR=""
        return 0
    else
        why="this host's kernel does not run 32-bit x86 programs"
    fi
    if ! command -v qemu-i386 >/dev/null 2>&1; then
        zar_run_strict zar_install qemu-user
        command -v qemu-i386 >/dev/null 2>&1 ||
            zar_die "this host cannot run 32-bit x86 programs: turn on the kernel's 32-bit emulation" \
                "(CONFIG_IA32_EMULATION; boot option ia32_emulation=1) or install Debian's qemu-user"
    fi
    export ZAR_EMULATOR
    ZAR_EMULATOR="$(command -v qemu-i386)"
    "$ZAR_EMULATOR" "$probe" >/dev/null 2>&1 || zar_die "$ZAR_EMULATOR does not run the i386 probe program $probe"
    zar_say "running the 32-bit programs under qemu-i386 ($why): several times slower"
}

# ---- Debian source entries ----

# (Output is captured before matching: 'grep -q' stopping early would make a
# pipefail pipeline report the writer's SIGPIPE.)
zar_have_source() {
    local records
    records="$(apt-cache showsrc "$1" 2>/dev/null || true)"
    grep -q '^Package:' <<<"$records"
}

# deb822 stanzas of the enabled *.sources files whose Types offer binaries
# but no sources, rewritten as deb-src stanzas. Continuation lines (an
# inline Signed-By key) stay with their field; comments and Architectures
# (meaningless for sources) are dropped.
zar_derive_deb822() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$ZAR_SRC_LIST_BASE.sources" ] && continue
        awk '
            function flush(   i) {
                if (n > 0 && hasdeb && !hassrc && !disabled) {
                    if (printed) print ""
                    print "Types: deb-src"
                    for (i = 1; i <= n; i++) print lines[i]
                    printed = 1
                }
                n = 0; hasdeb = 0; hassrc = 0; disabled = 0; keep = 0
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ { if (keep) lines[++n] = $0; next }
            {
                field = tolower($0); sub(/:.*/, "", field)
                value = $0; sub(/^[^:]*:[ \t]*/, "", value)
                keep = 0
                if (field == "types") {
                    m = split(value, t, /[ \t]+/)
                    for (i = 1; i <= m; i++) {
                        if (t[i] == "deb") hasdeb = 1
                        if (t[i] == "deb-src") hassrc = 1
                    }
                } else if (field == "enabled") {
                    if (tolower(value) ~ /^(no|false|0)/) disabled = 1
                } else if (field != "architectures") {
                    keep = 1
                    lines[++n] = $0
                }
            }
            END { flush() }
        ' "$f"
    done
}

# One-line entries ("deb [options] uri suite components") as "deb-src".
zar_derive_one_line() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        [ "$f" = "$ZAR_SRC_LIST_BASE.list" ] && continue
        sed -n 's/^[[:space:]]*deb[[:space:]]\+/deb-src /p' "$f"
    done
}

zar_write_source_entries() {
    local tmp822 tmpline
    tmp822="$(mktemp)"
    tmpline="$(mktemp)"
    zar_derive_deb822 >"$tmp822"
    zar_derive_one_line >"$tmpline"
    if [ ! -s "$tmp822" ] && [ ! -s "$tmpline" ]; then
        rm -f "$tmp822" "$tmpline"
        echo "no 'deb' entry in the machine's apt sources to derive a 'deb-src' entry from" >&2
        return 1
    fi
    local f
    for f in "$tmp822:.sources" "$tmpline:.list"; do
        local src="${f%%:*}" ext="${f##*:}"
        if [ -s "$src" ]; then
            { printf '# Source packages for ./zar, derived from this machine'"'"'s own entries.\n'; cat "$src"; } |
                zar_as_root tee "$ZAR_SRC_LIST_BASE$ext" >/dev/null
            zar_as_root chmod 644 "$ZAR_SRC_LIST_BASE$ext"
            echo "wrote $ZAR_SRC_LIST_BASE$ext:"
            cat "$ZAR_SRC_LIST_BASE$ext"
        fi
    done
    rm -f "$tmp822" "$tmpline"
}

zar_ensure_source() {
    local pkg="$1"
    zar_have_source "$pkg" && return 0
    zar_step "adding deb-src entries" zar_write_source_entries
    zar_quiet "apt-get update (for source indexes)" zar_apt_get update
    zar_have_source "$pkg" ||
        zar_die "Debian's source package '$pkg' is not known to apt even after adding deb-src entries" \
            "($ZAR_SRC_LIST_BASE.*) and apt-get update; see $ZAR_LOG"
}

# ---- libjpeg-turbo, i386, into .deps/i386 ----

zar_jpeg_ready() {
    [ -f "$ZAR_DEPS/.libjpeg-turbo" ] &&
        [ "$(cat "$ZAR_DEPS/.libjpeg-turbo")" = "recipe $ZAR_JPEG_RECIPE" ] &&
        [ -f "$ZAR_DEPS/lib/libjpeg.a" ]
}

# Checks that what was installed is i386 code with the i386 SIMD in it.
zar_jpeg_verify() {
    local so a obj kinds symbols
    so="$(readlink -f "$ZAR_DEPS/lib/libjpeg.so")"
    a="$ZAR_DEPS/lib/libjpeg.a"
    kinds="$(file "$so")"
    echo "$kinds"
    grep -q 'ELF 32-bit LSB shared object, Intel 80386' <<<"$kinds" || {
        echo "$so is not an i386 shared object" >&2
        return 1
    }
    obj="$(mktemp -d)"
    (cd "$obj" && ar x "$a")
    kinds="$(file "$obj"/*.o)"
    rm -rf "$obj"
    echo "$a: $(wc -l <<<"$kinds") objects"
    if grep -v 'ELF 32-bit LSB relocatable, Intel 80386' <<<"$kinds"; then
        echo "$a holds objects that are not i386" >&2
        return 1
    fi
    symbols="$(nm "$a" 2>/dev/null)"
    grep -q ' T jsimd_idct_islow_sse2$' <<<"$symbols" || {
        echo "$a lacks the i386 SIMD routines (built without nasm?)" >&2
        return 1
    }
    echo "libjpeg-turbo is i386 with its SIMD routines: ok"
}

zar_jpeg_fetch() {
    cd "$1"
    # As root apt cannot drop to its sandbox user in a private temp folder and
    # says so; the download itself is the same.
    apt-get source libjpeg-turbo
}

zar_jpeg_build() {
    local work="$1"
    local src
    src="$(find "$work" -mindepth 2 -maxdepth 2 -name CMakeLists.txt -printf '%h\n' | head -n 1)"
    [ -n "$src" ] || {
        echo "no unpacked libjpeg-turbo tree in $work" >&2
        return 1
    }
    # Cross-compiling to i386 on the same machine: naming the processor makes
    # libjpeg-turbo pick its 32-bit SIMD, and nasm then assembles elf32.
    cat >"$work/i386.cmake" <<'EOF'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
EOF
    cmake -S "$src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$work/i386.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$ZAR_DEPS" \
        -DCMAKE_INSTALL_LIBDIR:PATH=lib \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DENABLE_SHARED=ON -DENABLE_STATIC=ON \
        -DWITH_SIMD=ON -DREQUIRE_SIMD=ON \
        -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF
    ninja -C "$work/build" install
}

zar_jpeg() {
    zar_jpeg_ready && return 0
    # Two runs at once (a test run and a demo) must not build it twice.
    mkdir -p "$ZAR_ROOT/.deps"
    exec 9>"$ZAR_ROOT/.deps/.lock"
    flock 9
    if zar_jpeg_ready; then
        exec 9>&-
        return 0
    fi
    zar_say "building libjpeg-turbo (i386) from Debian's source package into .deps/i386"
    local start=$SECONDS
    zar_ensure_source libjpeg-turbo
    rm -rf "$ZAR_DEPS"
    mkdir -p "$ZAR_DEPS"
    local work
    work="$(mktemp -d "${TMPDIR:-/tmp}/zar-jpeg.XXXXXX")"
    # A failure exits; the temp tree is not worth a trap, the log names it.
    zar_step "fetching Debian's source package libjpeg-turbo (apt-get source, in $work)" zar_jpeg_fetch "$work"
    zar_step "building libjpeg-turbo (in $work)" zar_jpeg_build "$work"
    zar_step "checking the libjpeg-turbo prefix" zar_jpeg_verify
    rm -rf "$work"
    echo "recipe $ZAR_JPEG_RECIPE" >"$ZAR_DEPS/.libjpeg-turbo"
    exec 9>&-
    zar_say "libjpeg-turbo built in $((SECONDS - start)) s"
}

# ---- libpng and FreeType, i386, into .deps/i386 ----
# The window layer writes its pictures with libpng and draws text with
# FreeType; Debian has neither as a lib32 package. Both are built static from
# Debian's source packages beside libjpeg-turbo (whose rebuild empties the
# prefix, and with it this step's mark, so they follow it).

ZAR_GUI_RECIPE=1

zar_gui_ready() {
    [ "$(cat "$ZAR_DEPS/.gui-libs" 2>/dev/null)" = "recipe $ZAR_GUI_RECIPE" ] &&
        [ -f "$ZAR_DEPS/lib/libpng16.a" ] && [ -f "$ZAR_DEPS/lib/libfreetype.a" ]
}

# apt-get source <package> into $1; a security index that names a version its
# pool does not hold yet falls back to the release's own version.
zar_gui_fetch() {
    cd "$1"
    apt-get source "$2" || {
        local codename
        codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
        rm -rf "${1:?}"/*
        apt-get source "$2/$codename"
    }
}

zar_gui_cmake() {
    local work="$1" package="$2"
    shift 2
    local src
    src="$(find "$work" -mindepth 2 -maxdepth 2 -name CMakeLists.txt -printf '%h\n' | head -n 1)"
    [ -n "$src" ] || {
        echo "no unpacked $package tree in $work" >&2
        return 1
    }
    printf '%s\n' 'set(CMAKE_SYSTEM_NAME Linux)' 'set(CMAKE_SYSTEM_PROCESSOR i386)' \
        'set(CMAKE_C_FLAGS_INIT "-m32")' 'set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")' \
        'set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")' >"$work/i386.cmake"
    cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/i386.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$ZAR_DEPS" -DCMAKE_INSTALL_LIBDIR:PATH=lib \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON "$@"
    ninja -C "$work/build" install
}

zar_gui_verify() {
    local a kinds obj
    for a in "$ZAR_DEPS/lib/libpng16.a" "$ZAR_DEPS/lib/libfreetype.a"; do
        obj="$(mktemp -d)"
        (cd "$obj" && ar x "$a")
        kinds="$(file "$obj"/*.o)"
        rm -rf "$obj"
        if grep -v 'ELF 32-bit LSB relocatable, Intel 80386' <<<"$kinds"; then
            echo "$a holds objects that are not i386" >&2
            return 1
        fi
        echo "$a: i386, ok"
    done
}

zar_gui_libs() {
    zar_gui_ready && return 0
    mkdir -p "$ZAR_ROOT/.deps"
    exec 9>"$ZAR_ROOT/.deps/.lock"
    flock 9
    if zar_gui_ready; then
        exec 9>&-
        return 0
    fi
    zar_say "building libpng and FreeType (i386) from Debian's source packages into .deps/i386"
    local start=$SECONDS work
    zar_ensure_source libpng1.6
    zar_ensure_source freetype
    work="$(mktemp -d "${TMPDIR:-/tmp}/zar-gui.XXXXXX")"
    mkdir -p "$work/png" "$work/ft"
    zar_step "fetching Debian's source package libpng1.6 (in $work/png)" zar_gui_fetch "$work/png" libpng1.6
    zar_step "building libpng (in $work/png)" zar_gui_cmake "$work/png" libpng \
        -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_HARDWARE_OPTIMIZATIONS=OFF \
        -DZLIB_LIBRARY=/usr/lib32/libz.so -DZLIB_INCLUDE_DIR=/usr/include
    zar_step "fetching Debian's source package freetype (in $work/ft)" zar_gui_fetch "$work/ft" freetype
    zar_step "building FreeType (in $work/ft)" zar_gui_cmake "$work/ft" freetype \
        -DBUILD_SHARED_LIBS=OFF -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON \
        -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON
    zar_step "checking the libpng and FreeType builds" zar_gui_verify
    rm -rf "$work"
    echo "recipe $ZAR_GUI_RECIPE" >"$ZAR_DEPS/.gui-libs"
    exec 9>&-
    zar_say "libpng and FreeType built in $((SECONDS - start)) s"
}

# ---- Configure, build, test ----

zar_setup() {
    command -v dpkg-query >/dev/null 2>&1 || zar_die "this set-up is for Debian (dpkg-query not found)"
    zar_packages
    zar_choose_runner
    zar_jpeg
    zar_gui_libs
    if [ -f "$ZAR_BUILD/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$ZAR_BUILD/CMakeCache.txt"; then
        zar_die "$ZAR_BUILD was configured with another generator than Ninja; delete it and run again"
    fi
    if [ ! -f "$ZAR_BUILD/build.ninja" ]; then
        zar_step "configuring (cmake -G Ninja)" cmake -S "$ZAR_ROOT" -B "$ZAR_BUILD" -G Ninja \
            ${ZAR_CMAKE_OPTIONS[@]+"${ZAR_CMAKE_OPTIONS[@]}"}
    elif [ "${CI:-}" = true ] && ! grep -q '^ZAR_WERROR:BOOL=ON$' "$ZAR_BUILD/CMakeCache.txt"; then
        # A tree configured before CI ran in it: CI builds with warnings as errors all the same.
        zar_step "configuring with warnings as errors (CI)" cmake -S "$ZAR_ROOT" -B "$ZAR_BUILD" -DZAR_WERROR=ON
    fi
}

# zar_build [target...]: everything when no target is named. ZAR_JOBS caps
# the parallel jobs of the build and the test run (default: every core).
zar_build() {
    zar_step "building${1:+ $*}" ninja -C "$ZAR_BUILD" ${ZAR_JOBS:+-j "$ZAR_JOBS"} "$@"
}

# Runs every test; prints CTest's summary on success and, on failure, every
# line but the passing tests' and the start notices (so the failures with
# their output, then the summary). The full run is in build/test.log.
zar_test() {
    local log="$ZAR_BUILD/test.log" rc=0
    (cd "$ZAR_BUILD" && ctest --output-on-failure --no-tests=error -j "${ZAR_JOBS:-$(nproc)}" "$@") >"$log" 2>&1 || rc=$?
    if [ "$rc" -eq 0 ]; then
        sed -n '/tests passed, .* tests failed out of/,$p' "$log" | sed '/^[[:space:]]*$/d'
    else
        grep -Ev '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed |^ +Start +[0-9]+: ' "$log" || true
    fi
    return "$rc"
}
