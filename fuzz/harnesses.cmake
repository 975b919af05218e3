# The harnesses and the core units each one links: one list for the fuzzing
# build (fuzz/CMakeLists.txt) and for the replays in the ordinary test build
# (tests/cpp/CMakeLists.txt).
set(ORVIK_FUZZ_HARNESSES fuzz_mesh_build fuzz_grid fuzz_state fuzz_tin)
set(ORVIK_FUZZ_DEPS_fuzz_mesh_build orvik_model orvik_model_tree)
set(ORVIK_FUZZ_DEPS_fuzz_grid orvik_grid)
set(ORVIK_FUZZ_DEPS_fuzz_state orvik_state orvik_model_file orvik_model_tree)
set(ORVIK_FUZZ_DEPS_fuzz_tin orvik_tin orvik_grid)
