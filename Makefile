# make demo    the main job: set up, build, run the Salish Sea example
# make test    the whole test suite: set up, build, the formatting check
#              (clang-format, ruff), the self-contained wheel (built,
#              installed into a fresh environment and queried), GoogleTest
#              (ctest) and pytest (with the stub check)
# make format  formats the C++ and the Python as the check wants it
# make wheel   a wheel that carries its own shared libraries, in dist/
# make bench   every benchmark, one summary table
# make asan    the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
PY := .venv/bin/python

.PHONY: setup demo test format wheel bench asan clean

setup:
	@bash scripts/setup.sh

demo: setup
	$(PY) examples/salish_sea.py

test: setup
	@bash scripts/check_format.sh
	@bash scripts/wheel.sh --check
	.venv/bin/ctest --test-dir build/main --output-on-failure
	$(PY) -m pytest -q

format: setup
	@bash scripts/check_format.sh --fix

wheel: setup
	@bash scripts/wheel.sh

bench: setup
	$(PY) bench/run_all.py

asan: setup
	@bash scripts/asan.sh

clean:
	rm -rf build dist
