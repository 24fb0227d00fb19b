#!/bin/bash
# callgrind with branch simulation on bench_search: instructions and mispredicts per source, by queue
cd /project
valgrind --tool=callgrind --branch-sim=yes --callgrind-out-file=/tmp/cgs.out build/prof/bench_search 2000 8000 1 >/dev/null 2>&1
callgrind_annotate --inclusive=yes --show=Ir,Bcm /tmp/cgs.out 2>/dev/null | grep -E "SearchRun::run<|SearchRun::collect" | awk '{gsub(",","",$1); gsub(",","",$2); printf "%8.0f instr %6.0f mispred per search  %s\n", $1/2000, $2/2000, $0}' | cut -c1-200
