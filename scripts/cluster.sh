#!/usr/bin/env bash
# One host standing for several: a MooseFS file system (one master, two chunk
# servers keeping 2 copies of every chunk), two FUSE mounts of it, and two
# front-ends (lighttpd and the programs), each on its own 127.0.0.1 port and
# its own mount, over one storage root on the shared file system.
#
# Usage: cluster.sh up|down|status DIR [PROGRAM_DIR]
#   up      builds it all in DIR (PROGRAM_DIR: the build's endpoints/ folder,
#           default build/endpoints); prints DIR/cluster.env, which names the
#           ports, mounts and the storage root as shell settings
#   down    stops every process it started, unmounts, leaves DIR's files
#   status  what runs, and whether the mounts answer
# Environment: CLUSTER_OWNER_PID=PID takes it all down once that process is
# gone (tests set it); CLUSTER_MOUNT_OPTIONS replaces the mounts' options
# (default mfsdirentrycacheto=0).
#
# Runs as root or as an ordinary user (who needs /dev/fuse and fusermount3).
# The master refuses chunk servers that name themselves by a 127.0.0.0/8
# address: each chunk server connects to 0.0.0.0 (the local host) and the
# master's address remapping (REMAP_*) turns the 127.0.0.1 they come from into
# 0.0.0.0, which clients reach as the local host again; so all traffic stays on
# 127.0.0.1 and nothing listens beyond it.
set -euo pipefail
cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: cluster.sh up|down|status DIR [PROGRAM_DIR]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
[ "$cmd" != up ] || mkdir -p "$dir"
[ -d "$dir" ] || { echo "cluster: $dir does not exist" >&2; exit 2; }
dir=$(cd "$dir" && pwd)
env_file=$dir/cluster.env
user=$(id -un)
group=$(id -gn)

# Sets the array ports to $1 distinct ports free right now.
free_ports() {
    local p
    ports=()
    while [ ${#ports[@]} -lt "$1" ]; do
        p=$(python3 "$here/free-port.py")
        [[ " ${ports[*]} " == *" $p "* ]] || ports+=("$p")
    done
}

# Waits up to $2 tenths of a second for command $1 to succeed.
wait_for() {
    local i
    for ((i = 0; i < $2; i++)); do
        if eval "$1" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    return 1
}

pid_alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

# Stops the processes whose id files are given: TERM to all, then KILL to
# what is left after ten seconds. The id files go.
stop_pids() {
    local f pid i pids=()
    for f in "$@"; do
        [ -f "$f" ] || continue
        pid=$(cat "$f")
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            pids+=("$pid")
        fi
        rm -f "$f"
    done
    for ((i = 0; i < 100 && ${#pids[@]} > 0; i++)); do
        local alive=()
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive+=("$pid"); done
        pids=("${alive[@]+"${alive[@]}"}")
        [ ${#pids[@]} -eq 0 ] || sleep 0.1
    done
    for pid in "${pids[@]+"${pids[@]}"}"; do kill -KILL "$pid" 2>/dev/null || true; done
}

is_mounted() { grep -qs " $1 fuse" /proc/mounts; }

unmount() {
    local m=$1 i
    is_mounted "$m" || return 0
    for ((i = 0; i < 50; i++)); do
        if [ "$(id -u)" -eq 0 ]; then umount "$m" 2>/dev/null; else fusermount3 -u "$m" 2>/dev/null; fi
        is_mounted "$m" || return 0
        sleep 0.1
    done
    # Still busy: detach it, so nothing is left mounted.
    if [ "$(id -u)" -eq 0 ]; then umount -l "$m" || true; else fusermount3 -uz "$m" || true; fi
}

down() {
    stop_pids "$dir/watch.pid"
    stop_pids "$dir/fe1/lighttpd.pid" "$dir/fe2/lighttpd.pid"
    unmount "$dir/mnt1"
    unmount "$dir/mnt2"
    # The mount processes outlive their unmount until told to go.
    stop_pids "$dir/mount1.pid" "$dir/mount2.pid" "$dir/cs1/daemon.pid" "$dir/cs2/daemon.pid"
    stop_pids "$dir/master/daemon.pid"
}

status() {
    local rc=0 n
    [ -f "$env_file" ] && cat "$env_file"
    if pid_alive "$dir/master/daemon.pid"; then echo "master: running"; else echo "master: stopped"; rc=1; fi
    for n in 1 2; do
        if pid_alive "$dir/cs$n/daemon.pid"; then echo "chunk server $n: running"; else echo "chunk server $n: stopped"; rc=1; fi
    done
    for n in 1 2; do
        if is_mounted "$dir/mnt$n" && stat -t "$dir/mnt$n" >/dev/null 2>&1; then
            echo "mount $n: $dir/mnt$n"
        else
            echo "mount $n: not mounted"; rc=1
        fi
    done
    for n in 1 2; do
        if pid_alive "$dir/fe$n/lighttpd.pid"; then echo "front-end $n: running"; else echo "front-end $n: stopped"; rc=1; fi
    done
    return $rc
}

# Starts daemon $1 (mfsmaster or mfschunkserver) with config $2 in the
# foreground, in the background of this shell, its output to $3/daemon.log.
start_daemon() {
    local prog=$1 cfg=$2 wd=$3
    setsid "$prog" -f -c "$cfg" start </dev/null >"$wd/daemon.log" 2>&1 &
    echo $! >"$wd/daemon.pid"
}

up() {
    local programs=${1:-$here/../build/endpoints}
    programs=$(cd "$programs" 2>/dev/null && pwd) || programs=${1:-$here/../build/endpoints}
    for p in mfsmaster mfschunkserver mfsmount lighttpd; do
        command -v "$p" >/dev/null 2>&1 || [ -x "/usr/sbin/$p" ] || { echo "cluster: $p is not installed (scripts/setup.sh installs it)" >&2; exit 3; }
    done
    [ -e /dev/fuse ] || { echo "cluster: /dev/fuse is missing" >&2; exit 3; }
    if [ "$(id -u)" -ne 0 ]; then
        command -v fusermount3 >/dev/null || { echo "cluster: fusermount3 is missing (package fuse3)" >&2; exit 3; }
        [ -r /dev/fuse ] && [ -w /dev/fuse ] ||
            { echo "cluster: /dev/fuse is closed to $user (mount as root here)" >&2; exit 3; }
    fi
    down  # a previous run's leftovers

    local ports ml_port cs_port cl_port cs1_port cs2_port fe1_port fe2_port n
    free_ports 7
    ml_port=${ports[0]} cs_port=${ports[1]} cl_port=${ports[2]}
    cs1_port=${ports[3]} cs2_port=${ports[4]} fe1_port=${ports[5]} fe2_port=${ports[6]}

    mkdir -p "$dir/master/data"
    cat >"$dir/master/mfsmaster.cfg" <<CFG
WORKING_USER = $user
WORKING_GROUP = $group
SYSLOG_IDENT = mfsmaster-$$
DATA_PATH = $dir/master/data
EXPORTS_FILENAME = $dir/master/mfsexports.cfg
TOPOLOGY_FILENAME = $dir/master/mfstopology.cfg
MATOML_LISTEN_HOST = 127.0.0.1
MATOML_LISTEN_PORT = $ml_port
MATOCS_LISTEN_HOST = 127.0.0.1
MATOCS_LISTEN_PORT = $cs_port
MATOCL_LISTEN_HOST = 127.0.0.1
MATOCL_LISTEN_PORT = $cl_port
REMAP_BITS = 32
REMAP_SOURCE_IP_CLASS = 127.0.0.1
REMAP_DESTINATION_IP_CLASS = 0.0.0.0
REPLICATIONS_DELAY_INIT = 0
CFG
    echo "* / rw,alldirs,admin,maproot=0:0" >"$dir/master/mfsexports.cfg"
    : >"$dir/master/mfstopology.cfg"
    [ -f "$dir/master/data/metadata.mfs" ] || cp /var/lib/mfs/metadata.mfs.empty "$dir/master/data/metadata.mfs"
    start_daemon mfsmaster "$dir/master/mfsmaster.cfg" "$dir/master"
    # Chunk servers that find no master wait seconds before they try again.
    wait_for "grep -q 'main master server module: listen' '$dir/master/daemon.log'" 300 ||
        fail "the master did not start (see $dir/master/daemon.log)"

    for n in 1 2; do
        local port_var=cs${n}_port
        mkdir -p "$dir/cs$n/data" "$dir/cs$n/chunks"
        cat >"$dir/cs$n/mfschunkserver.cfg" <<CFG
WORKING_USER = $user
WORKING_GROUP = $group
SYSLOG_IDENT = mfschunkserver-$$-$n
DATA_PATH = $dir/cs$n/data
HDD_CONF_FILENAME = $dir/cs$n/mfshdd.cfg
HDD_LEAVE_SPACE_DEFAULT = 64MiB
HDD_TEST_SPEED = 0
MASTER_HOST = 0.0.0.0
MASTER_PORT = $cs_port
CSSERV_LISTEN_HOST = 127.0.0.1
CSSERV_LISTEN_PORT = ${!port_var}
CFG
        echo "$dir/cs$n/chunks" >"$dir/cs$n/mfshdd.cfg"
        start_daemon mfschunkserver "$dir/cs$n/mfschunkserver.cfg" "$dir/cs$n"
    done
    wait_for "[ \$(grep -c 'register end' '$dir/master/daemon.log') -ge 2 ]" 300 ||
        fail "the chunk servers did not register with the master (see $dir/*/daemon.log)"

    local opts=${CLUSTER_MOUNT_OPTIONS-mfsdirentrycacheto=0}
    for n in 1 2; do
        mkdir -p "$dir/mnt$n"
        setsid mfsmount -f -H 127.0.0.1 -P "$cl_port" ${opts:+-o "$opts"} "$dir/mnt$n" </dev/null >"$dir/mount$n.log" 2>&1 &
        echo $! >"$dir/mount$n.pid"
    done
    for n in 1 2; do
        wait_for "is_mounted '$dir/mnt$n'" 200 || fail "mount $n did not come up (see $dir/mount$n.log)"
    done
    if command -v mfscreatesclass >/dev/null 2>&1; then
        # MooseFS 4 (trixie) keeps copies by storage class, and a master
        # started from empty metadata may have none of the classes named
        # after the old goals: two copies, each on any chunk server.
        local out
        mfslistsclass -M "$dir/mnt1" registry_two_copies 2>/dev/null | grep -qx registry_two_copies ||
            out=$(mfscreatesclass -M "$dir/mnt1" -K '*,*' registry_two_copies 2>&1) ||
            fail "could not make a storage class of two copies: $out"
        mfssetsclass registry_two_copies "$dir/mnt1" >/dev/null
    else
        mfssetgoal 2 "$dir/mnt1" >/dev/null
    fi
    local root1=$dir/mnt1/registry_storage root2=$dir/mnt2/registry_storage
    mkdir -p "$root1"
    wait_for "[ -d '$root2' ]" 100 || fail "the storage root made on mount 1 is not seen on mount 2"

    for n in 1 2; do
        local fe=$dir/fe$n port_var=fe${n}_port root=$dir/mnt$n/registry_storage
        local port=${!port_var}
        mkdir -p "$fe"
        # The programs take their storage root from the environment; each
        # front-end names the one root through its own mount, and keeps its
        # access log on local disk (an append to the shared store costs a
        # round trip to its servers on every request).
        cat >"$fe/cluster.conf" <<CONF
server.modules += ( "mod_setenv" )
setenv.add-environment += ( "REGISTRY_STORAGE_ROOT" => "$root",
                           "REGISTRY_ACCESS_LOG_DIR" => "$fe" )
CONF
        LIGHTTPD_EXTRA_CONF=$fe/cluster.conf bash "$here/lighttpd-conf.sh" "$fe" "$port" "$programs" >/dev/null
        lighttpd -f "$fe/lighttpd.conf" || fail "front-end $n did not start (see $fe/error.log)"
        wait_for "curl -fsS -o /dev/null http://127.0.0.1:$port/v2/" 100 || fail "front-end $n does not answer on port $port"
    done

    # A test that is killed (a time-out) cannot take its cluster down: a
    # watcher does it once the process named by CLUSTER_OWNER_PID is gone.
    if [ -n "${CLUSTER_OWNER_PID:-}" ]; then
        setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
                        rm -f "$3/watch.pid"; bash "$2" down "$3"' \
            watch "$CLUSTER_OWNER_PID" "$here/cluster.sh" "$dir" </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/watch.pid"
    fi

    cat >"$env_file" <<ENV
CLUSTER_MASTER_PORT=$cl_port
CLUSTER_MOUNT1=$dir/mnt1
CLUSTER_MOUNT2=$dir/mnt2
CLUSTER_ROOT1=$root1
CLUSTER_ROOT2=$root2
CLUSTER_URL1=http://127.0.0.1:$fe1_port
CLUSTER_URL2=http://127.0.0.1:$fe2_port
ENV
    cat "$env_file"
}

fail() {
    echo "cluster: $*" >&2
    down
    exit 1
}

case $cmd in
up) up "${3:-}" ;;
down) down ;;
status) status ;;
*) echo "usage: cluster.sh up|down|status DIR [PROGRAM_DIR]" >&2; exit 2 ;;
esac
