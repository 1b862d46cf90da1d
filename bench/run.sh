#!/bin/sh
# Builds the benchmarks in a Release tree (build-bench/) and runs them:
#   bench/run.sh [TURNAROUND_ROUNDS] [IDLE_SECONDS] [REMOVAL_LOAD_SECONDS] [UI_PHASE_SECONDS] [STALL_ROUNDS]
#   (defaults 5000, 20, 10, 10, 3000)
# Prints the machine, then the turnaround tables (without and with the wire trace, and over TCP
# beside a pseudo-terminal), the idle-cost table and the time of a busy loop's removal beside CPU
# hogs, the windows program under load, and the pump line's turnaround with a control-socket client
# that stops reading (bench/README.md explains them).
set -e
cd "$(dirname "$0")/.."
if [ ! -f build-bench/CMakeCache.txt ]; then
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DGALLION_BENCH=ON -DGALLION_TESTS=OFF
fi
cmake --build build-bench -j2 --target bench_turnaround bench_tcp_turnaround bench_idle bench_removal \
    bench_ui_load gallion-headless
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), kernel $(uname -r)"
echo
build-bench/bench/bench_turnaround "${1:-5000}"
echo
build-bench/bench/bench_turnaround "${1:-5000}" trace
echo
build-bench/bench/bench_tcp_turnaround "${1:-5000}"
echo
build-bench/bench/bench_idle "${2:-20}"
echo
build-bench/bench/bench_removal "${3:-10}"
echo
build-bench/bench/bench_ui_load "${4:-10}"
echo
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/control_stall.py build-bench/src/headless/gallion-headless "${5:-3000}"
