#!/usr/bin/env bash
# Checks the kernels built for a wider instruction set (common/isa.hpp): an
# object <name>.<set>.cpp.o in the given archives may define, besides local
# symbols and the kernel's own strong ones, only weak or unique symbols in
# the set's namespaces. Any other weak symbol (an inline function or
# template that the build did not inline) is one the linker could pick for
# the baseline's callers too, running that set's instructions on processors
# without them. DW.ref.__gxx_personality_v0, a pointer to the C++ runtime's
# unwinding routine, is data and the same in every build. Nor may such an
# object run code when the library loads (a static initialiser, as some
# headers bring): that code would run on every processor.
#   scripts/check_isa_symbols.sh <nm> <archive> ...
set -euo pipefail
NM=$1
shift
status=0
objects=0
for archive in "$@"; do
    listing=$("$NM" -A -C --defined-only "$archive")
    objects=$((objects + $(grep -cE '\.(avx|avx2)\.cpp\.o:' <<<"$listing" || true)))
    # "archive:member:address type name"; keep weak (W, V) and unique (u) symbols.
    bad=$(grep -E '\.(avx|avx2)\.cpp\.o:[0-9a-f]* [WVu] ' <<<"$listing" |
        grep -vE ' [WVu] (.*::(avx|avx2)::|DW\.ref\.__gxx_personality_v0$)' || true)
    init=$(grep -E '\.(avx|avx2)\.cpp\.o:.* _GLOBAL__sub_I_' <<<"$listing" || true)
    bad=$(printf '%s\n%s' "$bad" "$init" | sed '/^$/d')
    if [ -n "$bad" ]; then
        echo "$archive: mergeable symbols outside the instruction set's namespace, or initialisers:"
        echo "$bad"
        status=1
    fi
done
if [ "$objects" -eq 0 ]; then
    echo "no objects built for a wider instruction set in: $*"
    exit 1
fi
exit $status
