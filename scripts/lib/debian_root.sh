# shellcheck shell=bash
# Cached Debian unstable roots: created with debootstrap, given the packages
# of a list, entered with chroot. Sourced by scripts that keep such a root.
#
# The caller sets:
#   repo            the repository, mounted inside the root at its own path
#   root            where the root lives
#   packages_file   its packages, one name per line (# starts a comment); a
#                   change is installed on the next prepare_root
#   mirror          the Debian mirror for debootstrap
#   log_name        the name that prefixes messages
#   root_user_hint  what to do instead when not run as root
# and sources scripts/lib/third_party.sh.

bootstrapped_marker=.corvid-bootstrapped
packages_stamp=.corvid-packages.sha256

die() {
    printf '%s: %s\n' "$log_name" "$*" >&2
    exit 1
}

note() {
    printf '%s: %s\n' "$log_name" "$*" >&2
}

package_names() {
    sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$packages_file"
}

# Deletes a root directory, refusing while anything is mounted inside it:
# removing through a live bind mount of the repository would delete the
# repository itself.
remove_root_dir() {
    local dir=$1
    [[ -e $dir ]] || return 0
    if awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        die "refusing to delete $dir: something is still mounted inside it (see: findmnt -R $dir)"
    fi
    local sub
    for sub in proc dev "${repo#/}"; do
        if mountpoint -q "$dir/$sub" 2>/dev/null; then
            die "refusing to delete $dir: $dir/$sub is a mount point"
        fi
    done
    rm -rf --one-file-system "$dir"
}

require_root_user() {
    [[ $EUID -eq 0 ]] || die "building a Debian root needs root (chroot, mount, debootstrap).
$root_user_hint"
}

ensure_debootstrap() {
    command -v debootstrap >/dev/null 2>&1 && return 0
    note "installing debootstrap on the host"
    if ! { apt-get update -qq && apt-get install -y -qq debootstrap; } >/dev/null 2>&1; then
        die "could not install debootstrap with apt-get: is the Debian archive reachable?"
    fi
}

# Runs a command inside the root in a private mount namespace: /proc, /dev,
# the repository (at its own path) and, read-only, the third-party sources
# beside it are mounted there only, so every exit path, a failure or an
# interrupt included, takes the mounts away with the namespace.
run_in_root() {
    local workdir=$PWD third_party=$third_party_dir
    [[ $workdir == "$repo" || $workdir == "$repo"/* ]] || workdir=$repo
    [[ -d $third_party ]] || third_party=
    unshare --mount --propagation private -- bash -euc '
        root=$1 repo=$2 workdir=$3 third_party=$4
        shift 4
        mount -t proc proc "$root/proc"
        mount --bind /dev "$root/dev"
        mkdir -p "$root$repo"
        mount --bind "$repo" "$root$repo"
        if [[ -n $third_party ]]; then
            mkdir -p "$root$third_party"
            mount --bind -o ro "$third_party" "$root$third_party"
        fi
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        exec chroot "$root" /usr/bin/env -i \
            HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            CORVID_IN_ROOT=1 \
            bash -c "cd \"\$0\" && exec \"\$@\"" "$workdir" "$@"
    ' corvid-root "$root" "$repo" "$workdir" "$third_party" "$@"
}

bootstrap_root() {
    local partial=$root.partial
    remove_root_dir "$partial"
    note "creating the Debian unstable root in $root (about a minute)"
    mkdir -p "$(dirname "$root")"
    if ! debootstrap --variant=minbase sid "$partial" "$mirror" >"$partial.log" 2>&1; then
        tail -n 5 "$partial.log" >&2 || true
        die "debootstrap failed (full log: $partial.log). Is $mirror reachable?"
    fi
    rm -f "$partial.log"
    touch "$partial/$bootstrapped_marker"
    mv "$partial" "$root"
}

# Whether the root exists and holds the packages of the list as it is now.
root_is_current() {
    [[ -f $root/$bootstrapped_marker && -f $root/$packages_stamp &&
        $(cat "$root/$packages_stamp") == "$(sha256sum "$packages_file" | cut -d' ' -f1)" ]]
}

install_packages() {
    note "installing the packages of ${packages_file#"$repo"/} into the root"
    # The archive reachable here may serve a Release file past its Valid-Until
    # date (a frozen mirror); its signature is still checked.
    # shellcheck disable=SC2046
    if ! run_in_root env DEBIAN_FRONTEND=noninteractive sh -c \
        'apt-get update -qq -o Acquire::Check-Valid-Until=false &&
         apt-get install -y -qq --no-install-recommends "$@"' \
        install $(package_names) >"$root.install.log" 2>&1; then
        tail -n 15 "$root.install.log" >&2 || true
        die "installing packages into the root failed (full log: $root.install.log)"
    fi
    sha256sum "$packages_file" | cut -d' ' -f1 >"$root/$packages_stamp"
}

# Creates or updates the root under an exclusive lock, so that concurrent runs
# neither bootstrap twice nor install into a root that another run is using.
# A current root needs only the shared lock, kept for the command's lifetime:
# updates and reset_root wait for it.
prepare_root() {
    require_root_user
    mkdir -p "$(dirname "$root")"
    exec {setup_lock}>"$root.lock"
    flock -s "$setup_lock"
    root_is_current && return 0
    flock -x "$setup_lock"
    if [[ ! -f $root/$bootstrapped_marker ]]; then
        ensure_debootstrap
        remove_root_dir "$root"
        bootstrap_root
    fi
    root_is_current || install_packages
    flock -s "$setup_lock"
}

reset_root() {
    require_root_user
    exec {setup_lock}>"$root.lock"
    flock -x "$setup_lock"
    remove_root_dir "$root"
    remove_root_dir "$root.partial"
    rm -f "$root.install.log" "$root.partial.log"
    note "removed $root"
}
