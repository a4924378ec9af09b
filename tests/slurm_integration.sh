#!/usr/bin/env bash
# End to end on a real SLURM: starts munged, slurmctld and slurmd on this machine (loopback
# only, state in a temporary directory, run as root), submits a sweep's job array and merge job
# with `bash DIR/submit.sh` (throttled, with setup lines and a merge-only option; the merge one
# task on one CPU), and checks the merged summary and trajectories against the in-process
# sweep byte for byte. Then cancels one array task of a second submission and checks that merge
# reports it missing with the command that makes it, and that running that command completes the
# summary.
#   tests/slurm_integration.sh HOSTSWITCH
set -euo pipefail
exe=$(realpath "$1")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "the SLURM test starts slurmd and must run as root"

work=$(mktemp -d /tmp/hostswitch-slurm-XXXXXX)
chmod 700 "$work"
pids=()
cleanup() {
  local status=$?
  # Stops only the daemons started here, by pid, newest first.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [ "$status" -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -f "$log" ] && { echo "== $log"; tail -n 30 "$log"; } >&2
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- munge, with a private key and socket ---------------------------------------------------
if command -v mungekey >/dev/null; then
  mungekey --create --keyfile "$work/munge.key"
else
  dd if=/dev/urandom of="$work/munge.key" bs=1024 count=1 status=none
fi
chmod 600 "$work/munge.key"
socket=$work/munge.socket
munged --foreground --force --key-file="$work/munge.key" --socket="$socket" \
  --pid-file="$work/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munged.seed" &
pids+=($!)
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "munged did not start"

# --- slurmctld and slurmd ---------------------------------------------------------------------
mkdir -p "$work/state" "$work/spool"
export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=hostswitch-test
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
MailProg=/bin/true
MinJobAge=600
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -i -f "$SLURM_CONF" &
pids+=($!)
slurmd -D -N localhost -f "$SLURM_CONF" &
pids+=($!)
for _ in $(seq 600); do
  state=$(sinfo -h -n localhost -o %t 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.1
done
[ "$state" = idle ] || fail "the SLURM node did not come up (state '$state')"

job_state() { scontrol -o show job "$1" 2>/dev/null | grep -o 'JobState=[A-Z_]*' | head -n 1 | cut -d= -f2; }

# Waits until job $1 (all of its array tasks) has left the queue.
wait_for_job() {
  for _ in $(seq 1200); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  fail "job $1 still queued after 120 s"
}

grid=(--emig-rate 0.05,0.3 --sdr 1,2.5 --max-dist 0,1 --replicates 3 --n-gen 25 --seed 4242)
cd "$work"
"$exe" sweep "${grid[@]}" --jobs 2 --summary inproc.csv --trajectories inproc-trajectories.csv >/dev/null

# --- a whole sweep through the job array and the merge job -----------------------------------
# A throttle, setup lines before the program, a merge-only option, and CPUs for the array only.
"$exe" sweep "${grid[@]}" --slurm job1 --parts 4 --slurm-option=--time=0:10:00 --trajectories \
  --max-running 2 --slurm-setup 'export X=1' --slurm-setup 'echo "setup X=$X"' \
  --slurm-merge-option=--comment=merge-only --slurm-option=--cpus-per-task=2 >/dev/null 2>setup.err
grep -q '^#SBATCH --array=1-4%2$' job1/array.sbatch || fail "array.sbatch is not an array 1-4%2"
grep -q '^#SBATCH --time=0:10:00$' job1/merge.sbatch || fail "--slurm-option is not an #SBATCH line"
grep -q '^#SBATCH --comment=merge-only$' job1/merge.sbatch &&
  ! grep -q 'merge-only' job1/array.sbatch || fail "--slurm-merge-option is not the merge's alone"
for script in array merge; do
  [ "$(grep -A1 -x 'set -euo pipefail' "job1/$script.sbatch" | tail -n 1)" = 'export X=1' ] ||
    fail "$script.sbatch does not run the setup line right after set -euo pipefail"
done
grep -q 'lies on a file system compute nodes usually do not share' setup.err ||
  fail "no warning for a run directory under /tmp: $(cat setup.err)"
for task in 0 5 x; do
  if SLURM_ARRAY_TASK_ID=$task bash job1/array.sbatch 2>task.err; then
    fail "array task id $task ran"
  fi
  grep -q "outside 1..4" task.err || fail "task id $task: $(cat task.err)"
done
ids=$(bash job1/submit.sh)
array=$(sed -n 's/^array job \([0-9]*\)$/\1/p' <<<"$ids")
merge=$(sed -n 's/^merge job \([0-9]*\)$/\1/p' <<<"$ids")
[ -n "$array" ] && [ -n "$merge" ] || fail "submit.sh printed: $ids"
wait_for_job "$merge"
[ "$(job_state "$merge")" = COMPLETED ] || fail "merge job $merge ended $(job_state "$merge")"
scontrol -o show job "$merge" | grep -q ' NumCPUs=1 .*NumTasks=1 ' ||
  fail "the merge job is not one task on one CPU: $(scontrol -o show job "$merge")"
grep -q '^setup X=1$' job1/slurm-merge-*.out || fail "the merge job did not run the setup lines"
cmp job1/summary.csv inproc.csv || fail "the merge job's summary differs from the in-process sweep"
cmp job1/trajectories.csv inproc-trajectories.csv ||
  fail "the merge job's trajectories differ from the in-process sweep's"

# --- a design's rows through the job array: the tasks read them from the run directory -----
"$exe" design morris --trajectories 3 --range emig_rate=0:0.5 --range sdr=0.5:3 --n-gen 25 \
  -o design.csv >/dev/null
"$exe" sweep --design design.csv --replicates 2 --seed 77 --jobs 2 --summary design-inproc.csv \
  >/dev/null
"$exe" sweep --design design.csv --replicates 2 --seed 77 --slurm job3 --parts 3 >/dev/null
mv design.csv design-moved.csv  # the tasks need only the run directory
ids=$(bash job3/submit.sh)
merge=$(sed -n 's/^merge job \([0-9]*\)$/\1/p' <<<"$ids")
[ -n "$merge" ] || fail "submit.sh printed: $ids"
wait_for_job "$merge"
[ "$(job_state "$merge")" = COMPLETED ] || fail "design merge job $merge ended $(job_state "$merge")"
cmp job3/summary.csv design-inproc.csv ||
  fail "the merge job's summary of a design differs from the in-process sweep"

# --- a cancelled array task is missing from the merge, and its command fills the gap ---------
"$exe" sweep "${grid[@]}" --slurm job2 --parts 4 --slurm-option=--hold >/dev/null
ids=$(bash job2/submit.sh)
array=$(sed -n 's/^array job \([0-9]*\)$/\1/p' <<<"$ids")
merge=$(sed -n 's/^merge job \([0-9]*\)$/\1/p' <<<"$ids")
scancel "${array}_3"
scontrol release "$array"
wait_for_job "$array"
scancel "$merge" 2>/dev/null || true
set +e
"$exe" merge job2 --summary job2/summary.csv --missing-commands job2/missing.txt 2>merge.err
status=$?
set -e
[ "$status" -eq 3 ] || fail "merge with a cancelled task exited $status: $(cat merge.err)"
grep -q "6 of 24 rows missing" merge.err || fail "merge said: $(cat merge.err)"
[ "$(wc -l <job2/missing.txt)" -eq 1 ] && grep -q -- '--part 3/4 ' job2/missing.txt ||
  fail "missing commands: $(cat job2/missing.txt)"
[ ! -e job2/summary.csv ] || fail "an incomplete merge wrote the summary"
bash job2/missing.txt >/dev/null
"$exe" merge job2 --summary job2/summary.csv
cmp job2/summary.csv inproc.csv || fail "the completed summary differs from the in-process sweep"
echo "SLURM end to end: passed"
