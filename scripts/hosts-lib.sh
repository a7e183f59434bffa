# Shared helpers for scripts/setup-hosts, scripts/on-host and scripts/test-all.
# Sourced, not executed.  Everything expensive lives in $ORMEK_HOST_CACHE,
# outside the work tree, so a fresh clone reuses it.
#
# Hosts:
#   3.13t  free-threaded CPython 3.13 built from Debian's python3.13 source
#          package with --disable-gil, plus a venv on it
#   3.14   a Debian unstable chroot (debootstrap) with its CPython 3.14
#   3.14t  a free-threaded 3.14 found as python3.14t on PATH or given as
#          PYTHON=..., plus a venv on it (only when such an interpreter exists)
#   3.13td the same source as 3.13t built --with-pydebug (sys.gettotalrefcount
#          for the leak checks), plus a venv on it
#
# ORMEK_SANITIZE=ON on a venv host builds the module with ASan + UBSan into a
# separate directory put in front of PYTHONPATH, so the normal install that
# other runs use is never replaced (see sanitizer_env).

ORMEK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
ORMEK_SCRIPTS=$ORMEK_ROOT/scripts
ORMEK_HOST_CACHE=${ORMEK_HOST_CACHE:-/var/cache/ormek-hosts}
CACHE=$ORMEK_HOST_CACHE

# Debian suites used for the sources and the chroot.
ORMEK_PY313_SUITE=${ORMEK_PY313_SUITE:-trixie}
ORMEK_CHROOT_SUITE=${ORMEK_CHROOT_SUITE:-sid}

ORMEK_CHROOT=$CACHE/chroot-$ORMEK_CHROOT_SUITE
# Paths as seen inside the chroot.
ORMEK_CHROOT_VENV=/opt/ormek-venv
ORMEK_CHROOT_BUILD=/var/cache/ormek-build

ORMEK_CHROOT_PACKAGES="python3-dev python3-zstandard python3-pytest python3-hypothesis
 g++ cmake ninja-build python3-scikit-build-core python3-pip python3-venv libxxhash-dev strace zstd
 python3-dask"

ORMEK_SYSTEM_BUILD_DEPS="build-essential dpkg-dev debootstrap pkg-config xz-utils
 libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
 libreadline-dev libncurses-dev libgdbm-dev uuid-dev libexpat1-dev libxxhash-dev"

# Tools the tests run on the machine's own hosts (strace: which calls name a
# path), checked on every set-up of such a host.
ORMEK_SYSTEM_TEST_TOOLS="strace"

ORMEK_VENV_PACKAGES="pytest hypothesis scikit-build-core cmake ninja"
# Type checkers for tests/test_typing.py, installed from wheels only and not
# fatal when missing (those tests then skip).
ORMEK_VENV_TYPING_PACKAGES="mypy basedpyright"
# What examples/dask_shards.py and its test need, added to a venv already
# made (its own stamp, so adding one never rebuilds a venv other trees use)
# and not fatal when missing (that test then skips). Not on the debug host.
ORMEK_VENV_EXAMPLE_PACKAGES="dask"

log() { printf '[ormek-hosts] %s\n' "$*" >&2; }
die() { printf '[ormek-hosts] error: %s\n' "$*" >&2; exit 1; }

# The Debian mirror this machine's apt uses (first non-security URI), or
# $ORMEK_DEBIAN_MIRROR.  Read at run time, never written into the tree.
debian_mirror() {
    if [[ -n ${ORMEK_DEBIAN_MIRROR:-} ]]; then
        printf '%s\n' "$ORMEK_DEBIAN_MIRROR"
        return
    fi
    local uri f
    for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/*.sources; do
        [[ -r $f ]] || continue
        uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' "$f")
        if [[ -n $uri ]]; then
            printf '%s\n' "$uri"
            return
        fi
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -r $f ]] || continue
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($i !~ /security/) { print $i; exit } else break } }' "$f")
        if [[ -n $uri ]]; then
            printf '%s\n' "$uri"
            return
        fi
    done
    die "no Debian mirror found in /etc/apt; set ORMEK_DEBIAN_MIRROR"
}

# The packages given that the system lacks, one a line.
system_missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || printf '%s\n' "$p"
    done
}

# Install missing packages from the system's own repositories.
ORMEK_APT_UPDATED=
system_apt_install() {
    local missing=()
    mapfile -t missing < <(system_missing "$@")
    ((${#missing[@]})) || return 0
    # Host set-ups may run side by side; dpkg takes one installer at a time.
    local aptfd
    exec {aptfd}>"$CACHE/locks/system-apt.lock"
    flock "$aptfd"
    log "installing system packages: ${missing[*]}"
    if [[ -z $ORMEK_APT_UPDATED ]]; then
        apt-get update -q >&2
        ORMEK_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
    exec {aptfd}>&-
}

# Variables a caller gives to the COMMAND but that must not disturb our own
# set-up steps (pip, cmake, chroot, mount): saved, unset, and handed back to
# COMMAND only.
ORMEK_SAVED_ENV=()
save_user_env() {
    local v
    ORMEK_SAVED_ENV=()
    while IFS= read -r v; do
        case $v in
            LD_PRELOAD | LD_LIBRARY_PATH | LD_AUDIT | PYTHON* | ASAN_OPTIONS | UBSAN_OPTIONS | LSAN_OPTIONS | TSAN_OPTIONS | MALLOC_*)
                ORMEK_SAVED_ENV+=("$v=${!v}")
                unset "$v"
                ;;
        esac
    done < <(compgen -e)
}

# A digest of everything that goes into the module's build.
source_digest() {
    (
        cd "$ORMEK_ROOT"
        find module compressor tests/cpp python stubs CMakeLists.txt pyproject.toml \
            -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.cc' -o -name '*.inc' \
            -o -name 'CMakeLists.txt' -o -name '*.cmake' -o -name 'pyproject.toml' \
            -o -name '*.py' -o -name '*.pyi' \) -print0 2>/dev/null |
            LC_ALL=C sort -z | xargs -0 -r sha256sum
        printf 'ORMEK_SANITIZE=%s\n' "${ORMEK_SANITIZE:-OFF}"
    ) | sha256sum | cut -d' ' -f1
}

# The known hosts, in order; 3.14t only when an interpreter exists for it.
all_hosts() {
    local hosts=(3.13t 3.14 3.13td)
    if [[ -n $(find_314t_python) ]]; then hosts+=(3.14t); fi
    printf '%s\n' "${hosts[@]}"
}

# A free-threaded 3.14: $PYTHON, python3.14t on PATH, or the one remembered
# from an earlier set-up.
find_314t_python() {
    local cand
    for cand in "${ORMEK_314T_PYTHON:-}" "$(command -v python3.14t 2>/dev/null || true)" \
        "$(cat "$CACHE/3.14t.python" 2>/dev/null || true)"; do
        [[ -n $cand && -x $cand ]] || continue
        if "$cand" -c 'import sys, sysconfig; assert sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED")' 2>/dev/null; then
            printf '%s\n' "$cand"
            return
        fi
    done
}

# Build directories are kept per host and per work tree (a CMake cache is
# bound to one source directory).
ORMEK_TREE_KEY=$(printf '%s' "$ORMEK_ROOT" | sha256sum | cut -c1-10)
host_build_root() { # host_build_root HOST -> path as the host sees it
    case $1 in
        3.14) printf '%s/%s\n' "$ORMEK_CHROOT_BUILD" "$ORMEK_TREE_KEY" ;;
        *) printf '%s/build/%s/%s\n' "$CACHE" "$1" "$ORMEK_TREE_KEY" ;;
    esac
}

venv_dir() { printf '%s/venv-%s\n' "$CACHE" "$1"; }

# Each work tree installs the module into a venv of its own, layered on the
# host's shared venv (whose packages it sees), so two trees never replace
# each other's build: git worktrees can be tested side by side.  As the host
# sees it (the 3.14 one lives inside the chroot).
tree_venv() { # tree_venv HOST
    case $1 in
        3.14) printf '%s/%s/venv\n' "$ORMEK_CHROOT_BUILD" "$ORMEK_TREE_KEY" ;;
        *) printf '%s/tree-venv/%s/%s\n' "$CACHE" "$1" "$ORMEK_TREE_KEY" ;;
    esac
}

# Sanitizer builds (ORMEK_SANITIZE=ON) live apart from the normal install.
sanitize_on() { [[ ${ORMEK_SANITIZE:-OFF} =~ ^(ON|on|1|TRUE|true|YES|yes)$ ]]; }
asan_site() { printf '%s/asan-site/%s/%s\n' "$CACHE" "$1" "$ORMEK_TREE_KEY"; }

# Variables that make HOST's COMMAND run the sanitizer build: its directory in
# front of PYTHONPATH, the ASan and UBSan runtimes the module links preloaded
# (ASan must be the first library loaded), and options that stop at the first
# report.  Leak detection is off: the interpreter keeps its allocations to the
# end on purpose.  PYTHONMALLOC stays as it is: free-threaded builds insist on
# mimalloc.  Caller settings win, except PYTHONPATH and LD_PRELOAD, which are
# extended.  Prints NAME=VALUE lines.
sanitizer_env() { # sanitizer_env HOST  (after save_user_env)
    local site so runtimes v py_path="" preload="" asan="" ubsan=""
    site=$(asan_site "$1")
    so=$(find "$site" -maxdepth 1 -name 'ormek_compressor*.so' | head -n1)
    [[ -n $so ]] || die "$1: no sanitizer build in $site"
    runtimes=$(ldd "$so" | awk '$1 ~ /^lib(asan|ubsan)\.so/ { print $3 }' | sort | tr '\n' ':')
    [[ $runtimes == *libasan* ]] || die "$1: $so does not link the ASan runtime"
    for v in "${ORMEK_SAVED_ENV[@]}"; do
        case $v in
            PYTHONPATH=*) py_path=${v#PYTHONPATH=} ;;
            LD_PRELOAD=*) preload=${v#LD_PRELOAD=} ;;
            ASAN_OPTIONS=*) asan=${v#ASAN_OPTIONS=} ;;
            UBSAN_OPTIONS=*) ubsan=${v#UBSAN_OPTIONS=} ;;
        esac
    done
    printf 'PYTHONPATH=%s\n' "$site${py_path:+:$py_path}"
    printf 'LD_PRELOAD=%s\n' "${runtimes%:}${preload:+:$preload}"
    printf 'ASAN_OPTIONS=%s\n' "${asan:-detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86}"
    printf 'UBSAN_OPTIONS=%s\n' "${ubsan:-halt_on_error=1:print_stacktrace=1:exitcode=87}"
}
