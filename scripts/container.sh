#!/usr/bin/env bash
# Ambrel's container image with podman.
#
#   bash scripts/container.sh build   builds ambrel:<version> from this tree (Containerfile). With
#                                     no base image given (AMBREL_BASE_IMAGE), one is made from
#                                     Debian 12's packages, as no registry may be reachable.
#   bash scripts/container.sh test    builds when needed, then runs the demo in the image as a user
#                                     would (podman run -v ...), cwl/ambrel.cwl under cwltool and the
#                                     two-run scatter under Toil, both in containers, and compares
#                                     every output with the golden runs'.
#
# On a machine whose sandbox podman cannot run in as it comes (the limits and cgroup layout of
# these build machines), `test` and `build` write a containers.conf for it and say so.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
version="$(sed -n 's/^project(Ambrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
image="ambrel:$version"
base_image="${AMBREL_BASE_IMAGE:-}"

die() { echo "container.sh: $*" >&2; exit 2; }

# podman as it comes fails here when crun cannot raise the open-file and process limits past the
# sandbox's, or refuses a hybrid cgroup layout: runc with limits inside the sandbox's own.
configure_podman() {
    command -v podman >/dev/null || die "podman is not installed (Debian: podman runc podman-docker mmdebstrap)"
    if podman run --rm --quiet "$1" true >/dev/null 2>&1; then
        return
    fi
    local conf=/etc/containers/containers.conf
    [ -e "$conf" ] && die "podman cannot run a container here and $conf exists: not changing it"
    local nofile nproc
    nofile="$(ulimit -Hn)"
    [ "$nofile" = unlimited ] && nofile=1048576
    nproc="$(cat /proc/sys/kernel/pid_max)"
    [ "$nofile" -gt 20000 ] && nofile=20000
    [ "$nproc" -gt 32768 ] && nproc=32768
    echo "container.sh: podman cannot start a container as configured; writing $conf for this" \
         "machine (runc, cgroupfs, host network, limits nofile=$nofile nproc=$nproc)" >&2
    mkdir -p /etc/containers
    cat > "$conf" <<CONF
[containers]
default_ulimits = ["nofile=$nofile:$nofile", "nproc=$nproc:$nproc"]
netns = "host"
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
CONF
    podman run --rm --quiet "$1" true >/dev/null || die "podman still cannot run a container"
}

# A Debian 12 base image from Debian's packages (about 20 s), when no base was given.
local_base() {
    base_image=localhost/debian-base:12
    if ! podman image exists "$base_image"; then
        command -v mmdebstrap >/dev/null || die "mmdebstrap is not installed (Debian: mmdebstrap)"
        local tarball
        tarball="$(mktemp --suffix=.tar)"
        echo "container.sh: making $base_image from Debian's packages" >&2
        # As Debian's slim images: no manuals, documentation (but copyrights) or translations,
        # and no package lists (the Containerfile fetches them).
        mmdebstrap --quiet --variant=minbase \
            --dpkgopt='path-exclude=/usr/share/man/*' \
            --dpkgopt='path-exclude=/usr/share/doc/*' \
            --dpkgopt='path-include=/usr/share/doc/*/copyright' \
            --dpkgopt='path-exclude=/usr/share/locale/*' \
            --customize-hook='rm -rf "$1"/var/lib/apt/lists/* "$1"/var/cache/apt/*' \
            bookworm "$tarball"
        podman import --quiet "$tarball" "$base_image" >/dev/null
        rm -f "$tarball"
    fi
}

build() {
    command -v podman >/dev/null || die "podman is not installed (Debian: podman runc podman-docker mmdebstrap)"
    [ -n "$base_image" ] || local_base
    configure_podman "$base_image"
    local source
    source="$(git remote get-url origin 2>/dev/null || echo "file://$root")"
    podman build --quiet --build-arg "BASE=$base_image" --build-arg "VERSION=$version" \
        --build-arg "SOURCE=$source" -t "$image" -f Containerfile . >/dev/null
    local size
    size="$(podman image inspect --format '{{.Size}}' "$image")"
    echo "container.sh: built $image ($((size / 1000000)) MB; base $base_image)"
}

test_image() {
    podman image exists "$image" || build
    configure_podman "$image"
    # The image's programs are this tree's.
    local host inside
    host="$(sed -n 's/^project(Ambrel VERSION \([0-9.]*\).*/ambrel \1/p' CMakeLists.txt)"
    inside="$(podman run --rm "$image" ambrel --version)"
    [ "${inside% (*}" = "$host" ] || die "the image says \"$inside\", the tree is $host"
    grep -q "dockerPull: localhost/$image" cwl/ambrel.cwl || die "cwl/ambrel.cwl does not name localhost/$image"
    [ -x build/release/tests/ambrel_tests ] || bash scripts/build.sh release >/dev/null
    # The demo and the workflow engines, in the image; docker is podman's shim (/usr/bin/docker),
    # not a Docker client without a daemon that may come first on the PATH.
    AMBREL_IMAGE="$image" PATH="/usr/bin:$PATH" \
        build/release/tests/ambrel_tests --gtest_filter='ContainerImage.*' --gtest_brief=1
}

case "${1:-}" in
    build) build ;;
    test) test_image ;;
    *) echo "usage: bash scripts/container.sh build|test" >&2; exit 2 ;;
esac
