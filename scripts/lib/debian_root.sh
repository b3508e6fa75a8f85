# shellcheck shell=bash
# Cached Debian unstable roots: created, given the packages of a list and
# entered with chroot, by root with debootstrap, by anyone else without
# privileges (mmdebstrap) in a user namespace whose root is the user and whose
# other users are the user's subordinate ids. Sourced by scripts that keep
# such a root.
#
# The caller sets:
#   repo            the repository, mounted inside the root at its own path
#   root            where the root lives (default_root_dir gives the usual place)
#   packages_file   its packages, one name per line (# starts a comment); a
#                   change is installed on the next prepare_root
#   mirror          the Debian mirror
#   log_name        the name that prefixes messages
# and sources scripts/lib/third_party.sh.

bootstrapped_marker=.corvid-bootstrapped
packages_stamp=.corvid-packages.sha256
# Where the third-party sources appear inside the root, whatever the host's
# layout (../shared may be a symbolic link that means nothing in there).
third_party_mount=/opt/corvid-third-party

die() {
    printf '%s: %s\n' "$log_name" "$*" >&2
    exit 1
}

note() {
    printf '%s: %s\n' "$log_name" "$*" >&2
}

unprivileged() {
    ((EUID != 0))
}

# The cache directory of a root called NAME: the system's for root, the
# user's own otherwise.
default_root_dir() {
    if unprivileged; then
        printf '%s/corvid-py/%s\n' "${XDG_CACHE_HOME:-$HOME/.cache}" "$1"
    else
        printf '/var/cache/corvid-py/%s\n' "$1"
    fi
}

package_names() {
    sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$packages_file"
}

# Runs a command in a mount namespace of its own, whose mounts end with it.
# Unprivileged, it is also in a user namespace that maps root to the user and
# the users from 1 up to the user's subordinate ids: the root's files are
# root's there and writable, and what the command writes in the user's files
# (the repository) stays the user's.
in_namespace() {
    if unprivileged; then
        local uids gids
        uids=$(subordinate_ids /etc/subuid) && gids=$(subordinate_ids /etc/subgid) ||
            die "no block of 65536 subordinate ids for $(id -un) in /etc/subuid and /etc/subgid"
        unshare --user --map-root-user --map-users="$((uids + 1)),1,65535" \
            --map-groups="$((gids + 1)),1,65535" --mount -- "$@"
    else
        unshare --mount --propagation private -- "$@"
    fi
}

# Deletes a root directory, refusing while anything is mounted inside it:
# removing through a live bind mount of the repository would delete the
# repository itself. Unprivileged, most of it belongs to subordinate ids,
# which only the namespace lets the user delete.
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
    if unprivileged; then
        in_namespace rm -rf --one-file-system "$dir"
    else
        rm -rf --one-file-system "$dir"
    fi
}

# A free block of 65536 subordinate ids, past every block already given to
# anyone, as FIRST-LAST.
free_subordinate_ids() {
    cat /etc/subuid /etc/subgid 2>/dev/null |
        awk -F: 'BEGIN { end = 100000 } $2 + $3 > end { end = $2 + $3 } END { print end "-" end + 65535 }'
}

# The first of a block of at least 65536 ids that FILE (/etc/subuid or
# /etc/subgid) gives USER (default: the current user), enough for every user
# of a Debian system (nobody is 65534); fails if there is none.
subordinate_ids() {
    local user=${2:-$(id -un)} uid
    uid=$(id -u "$user") || return 1
    awk -F: -v name="$user" -v id="$uid" \
        '($1 == name || $1 == id) && $3 >= 65536 { print $2; found = 1; exit } END { exit !found }' "$1" 2>/dev/null
}

# Unprivileged use needs mmdebstrap, the setuid helpers that map subordinate
# ids (newuidmap, newgidmap: package uidmap), a block of such ids and a kernel
# that lets users create namespaces; each lack is one message saying what to do.
require_unprivileged_host() {
    local user missing=() fixes=()
    user=$(id -un)
    command -v mmdebstrap >/dev/null 2>&1 || missing+=(mmdebstrap)
    command -v newuidmap >/dev/null 2>&1 && command -v newgidmap >/dev/null 2>&1 || missing+=(uidmap)
    ((${#missing[@]} == 0)) || fixes+=("sudo apt-get install ${missing[*]}")
    subordinate_ids /etc/subuid >/dev/null && subordinate_ids /etc/subgid >/dev/null ||
        fixes+=("sudo usermod --add-subuids $(free_subordinate_ids) --add-subgids $(free_subordinate_ids) $user")
    ((${#fixes[@]} == 0)) || die "building the toolchain root without root needs the host packages mmdebstrap
and uidmap and a block of subordinate user and group ids for $user. Once, as an administrator:
$(printf '    %s\n' "${fixes[@]}")
(or run as root, or install CPython 3.14 and scripts/packages.txt natively: CORVID_DEV_MODE=native)"
    local setting
    setting=$(userns_blocking_setting) && die "this kernel does not let unprivileged users create user namespaces,
which building the toolchain root without root needs. To allow them:
    sudo sysctl -w $setting
(and the same line without -w in /etc/sysctl.d/ to keep it), or run as root."
    unshare --user --map-root-user --mount true 2>/dev/null ||
        die "this system refuses unprivileged user namespaces (unshare --user --map-root-user --mount true failed),
which building the toolchain root without root needs. Run as root instead."
}

# The sysctl setting that would let users create namespaces, if one forbids it.
userns_blocking_setting() {
    local value
    value=$(cat /proc/sys/kernel/unprivileged_userns_clone 2>/dev/null) && [[ $value == 0 ]] &&
        { echo kernel.unprivileged_userns_clone=1; return; }
    value=$(cat /proc/sys/user/max_user_namespaces 2>/dev/null) && [[ $value == 0 ]] &&
        { echo user.max_user_namespaces=15000; return; }
    value=$(cat /proc/sys/kernel/apparmor_restrict_unprivileged_userns 2>/dev/null) && [[ $value == 1 ]] &&
        { echo kernel.apparmor_restrict_unprivileged_userns=0; return; }
    return 1
}

ensure_debootstrap() {
    command -v debootstrap >/dev/null 2>&1 && return 0
    note "installing debootstrap on the host"
    if ! { apt-get update -qq && apt-get install -y -qq debootstrap; } >/dev/null 2>&1; then
        die "could not install debootstrap with apt-get: is the Debian archive reachable?"
    fi
}

# Runs a command inside the root (from the current directory when that lies
# in the repository, else from the repository's top) in the namespaces of
# in_namespace: /proc, /dev, the repository (at its own path) and, read-only,
# the third-party sources (at $third_party_mount) are mounted there only, so
# every exit path, a failure or an interrupt included, takes the mounts away
# with the namespace.
run_in_root() {
    local workdir=$PWD third_party=$third_party_dir
    [[ $workdir == "$repo" || $workdir == "$repo"/* ]] || workdir=$repo
    [[ -d $third_party ]] || third_party=
    # shellcheck disable=SC2016 # expanded by the inner shell
    in_namespace bash -euc '
        root=$1 repo=$2 workdir=$3 third_party=$4 third_party_mount=$5
        shift 5
        PATH=$PATH:/usr/sbin:/sbin  # for chroot: a normal user may lack them
        mount --rbind /proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mkdir -p "$root$repo" "$root$third_party_mount"
        mount --bind "$repo" "$root$repo"
        [[ -z $third_party ]] || mount --bind -o ro "$third_party" "$root$third_party_mount"
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        exec chroot "$root" /usr/bin/env -i \
            HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            CORVID_IN_ROOT=1 CORVID_THIRD_PARTY="$third_party_mount" \
            bash -c "cd \"\$0\" && exec \"\$@\"" "$workdir" "$@"
    ' corvid-root "$root" "$repo" "$workdir" "$third_party" "$third_party_mount" "$@"
}

# Debian unstable, minimal, into DIR. Unprivileged, mmdebstrap writes a
# tarball whose root is root, unpacked in the namespace where root is the
# user: a directory it wrote itself would be owned by the first subordinate
# id, and it could not reach one below a home closed to others. The tarball
# leaves out /dev, whose device nodes no namespace may create; /dev is mounted.
debian_bootstrap() {
    local dir=$1
    # The archive reachable here may serve a Release file past its Valid-Until
    # date (a frozen mirror); its signature is still checked.
    if unprivileged; then
        mkdir "$dir" &&
            mmdebstrap --mode=unshare --variant=minbase --aptopt='Acquire::Check-Valid-Until "false"' \
                --skip=output/dev sid - "$mirror" |
            in_namespace tar -x -C "$dir" --same-owner --same-permissions --numeric-owner &&
            mkdir "$dir/dev"
    else
        debootstrap --variant=minbase sid "$dir" "$mirror"
    fi
}

bootstrap_root() {
    local partial=$root.partial
    remove_root_dir "$partial"
    note "creating the Debian unstable root in $root (about a minute)"
    mkdir -p "$(dirname "$root")"
    if ! debian_bootstrap "$partial" >"$partial.log" 2>&1; then
        tail -n 5 "$partial.log" >&2 || true
        die "creating the root failed (full log: $partial.log). Is $mirror reachable?"
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
    # The stamp is of the list as read here: an edit made during the install
    # is installed by the next run.
    local stamp names
    stamp=$(sha256sum "$packages_file" | cut -d' ' -f1)
    names=$(package_names)
    # shellcheck disable=SC2086
    if ! run_in_root env DEBIAN_FRONTEND=noninteractive sh -c \
        'apt-get update -qq -o Acquire::Check-Valid-Until=false &&
         apt-get install -y -qq --no-install-recommends "$@"' \
        install $names >"$root.install.log" 2>&1; then
        tail -n 15 "$root.install.log" >&2 || true
        die "installing packages into the root failed (full log: $root.install.log)"
    fi
    printf '%s\n' "$stamp" >"$root/$packages_stamp"
}

# Creates or updates the root under an exclusive lock, so that concurrent runs
# neither bootstrap twice nor install into a root that another run is using.
# A current root needs only the shared lock, kept for the command's lifetime:
# updates and reset_root wait for it.
prepare_root() {
    unprivileged && require_unprivileged_host
    mkdir -p "$(dirname "$root")" || die "cannot create $(dirname "$root"): set CORVID_ROOT to a directory of yours"
    exec {setup_lock}>"$root.lock"
    flock -s "$setup_lock"
    if ! root_is_current; then
        flock -x "$setup_lock"
        if [[ ! -f $root/$bootstrapped_marker ]]; then
            unprivileged || ensure_debootstrap
            remove_root_dir "$root"
            bootstrap_root
        fi
        root_is_current || install_packages
        flock -s "$setup_lock"
    fi
}

reset_root() {
    mkdir -p "$(dirname "$root")"
    exec {setup_lock}>"$root.lock"
    flock -x "$setup_lock"
    remove_root_dir "$root"
    remove_root_dir "$root.partial"
    rm -f "$root.install.log" "$root.partial.log"
    note "removed $root"
}
