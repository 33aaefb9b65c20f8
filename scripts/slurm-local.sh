#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, for the workflow tests: munge, slurmctld and slurmd
# with a configuration of their own (the machine's /etc/slurm is left alone). Run as root.
#
#   eval "$(bash scripts/slurm-local.sh start)"   # prints export SLURM_CONF=...; waits for the node
#   bash scripts/slurm-local.sh stop               # stops the daemons it started, by process id
set -euo pipefail
state=/run/ambrel-slurm
conf="$state/slurm.conf"

start() {
    for program in munged slurmctld slurmd sinfo; do
        command -v "$program" >/dev/null || { echo "slurm-local: $program not found" >&2; exit 2; }
    done
    mkdir -p "$state"/{ctld,d,log} /run/munge
    if [ ! -s /etc/munge/munge.key ]; then
        mkdir -p /etc/munge
        dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 status=none
    fi
    chown munge:munge /etc/munge/munge.key /run/munge
    chmod 400 /etc/munge/munge.key
    if ! munge -n 2>/dev/null | unmunge >/dev/null 2>&1; then
        su -s /bin/sh munge -c /usr/sbin/munged
        touch "$state/munged.ours"
    fi
    local host cpus
    host=$(hostname -s)
    cpus=$(nproc)
    cat > "$conf" <<CONF
ClusterName=ambrel
SlurmctldHost=$host
SlurmUser=root
AuthType=auth/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/d
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.pid
SlurmctldLogFile=$state/log/slurmctld.log
SlurmdLogFile=$state/log/slurmd.log
ReturnToService=2
NodeName=$host CPUs=$cpus RealMemory=8000 State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
    export SLURM_CONF="$conf"
    rm -f "$state"/slurmctld.pid "$state"/slurmd.pid
    slurmctld -f "$conf"
    slurmd -f "$conf"
    for _ in $(seq 60); do
        # Our daemons, not another Slurm on the same ports: a daemon that could not bind its port
        # ("Address already in use") exits, and sinfo would answer for the other cluster.
        for daemon in slurmctld slurmd; do
            if [ -f "$state/$daemon.pid" ] && ! kill -0 "$(cat "$state/$daemon.pid")" 2>/dev/null; then
                echo "slurm-local: $daemon exited; the end of its log ($state/log/$daemon.log):" >&2
                tail -n 5 "$state/log/$daemon.log" >&2 || true
                stop
                exit 1
            fi
        done
        if alive slurmctld && alive slurmd && sinfo -h -o %t 2>/dev/null | grep -qx idle; then
            echo "export SLURM_CONF=$conf"
            return 0
        fi
        sleep 0.5
    done
    echo "slurm-local: the node did not come up; see $state/log" >&2
    stop
    exit 1
}

# Whether the daemon that this script started runs.
alive() {
    [ -f "$state/$1.pid" ] && kill -0 "$(cat "$state/$1.pid")" 2>/dev/null
}

stop() {
    for daemon in slurmd slurmctld; do
        [ -f "$state/$daemon.pid" ] && kill "$(cat "$state/$daemon.pid")" 2>/dev/null || true
        rm -f "$state/$daemon.pid" # a pid file must not name a process that is gone
    done
    if [ -f "$state/munged.ours" ] && [ -f /run/munge/munged.pid ]; then
        kill "$(cat /run/munge/munged.pid)" 2>/dev/null || true
        rm -f "$state/munged.ours"
    fi
    return 0
}

case "${1:-}" in
start) start ;;
stop) stop ;;
*) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
