// What the symbol check of the kernels (scripts/check_isa_symbols.sh) must
// refuse: built for a wider set, this defines an inline function outside
// the set's namespace, which the linker could take for the baseline's.
namespace orvik::testing {

[[gnu::noinline]] inline int twice(int x) {
    return 2 * x;
}

int use_twice(int x) {
    return twice(x) + 1;
}

}  // namespace orvik::testing
