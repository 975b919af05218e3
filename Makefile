# make demo    the main job: set up, build, run the example velocity model
# make test    the whole test suite: set up, build, GoogleTest (ctest) and pytest
# make bench   every benchmark, one summary table
# make asan    the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
PY := .venv/bin/python

.PHONY: setup demo test bench asan clean

setup:
	@bash scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

test: setup
	.venv/bin/ctest --test-dir build/main --output-on-failure
	$(PY) -m pytest -q

bench: setup
	$(PY) bench/run_all.py

asan: setup
	@bash scripts/asan.sh

clean:
	rm -rf build
