# shellcheck shell=bash
# Pristine upstream sources that the workplace may keep beside the repository
# (../shared/third_party), for building without network access. The project's
# own scripts use them when present; a user's plain build never does. Sourced;
# the caller sets `repo`.

# Resolved on the host, where a symbolic link on the way means something;
# inside the toolchain root scripts/dev names the path it mounts them on.
third_party_dir=${CORVID_THIRD_PARTY:-$(realpath -m "$repo/../shared/third_party")}

# The tree of yyjson's pinned release, for FETCHCONTENT_SOURCE_DIR_YYJSON;
# empty when absent.
yyjson_source_dir=$third_party_dir/yyjson-0.12.0
[[ -f $yyjson_source_dir/CMakeLists.txt ]] || yyjson_source_dir=
