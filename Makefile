# make demo    the main job: set up, build, run the Salish Sea example
# make test    the whole test suite: set up, build, the formatting check
#              (clang-format, ruff), the self-contained wheel (built,
#              installed into a fresh environment and queried), GoogleTest
#              (ctest) and pytest (with the stub check, the doctests, and the
#              documentation site built and opened in headless Chromium)
# make docs    the documentation site, offline, warnings as errors, into
#              docs/_build/html
# make format  formats the C++ and the Python as the check wants it
# make wheel   a wheel that carries its own shared libraries, in dist/
# make bench   every benchmark, one summary table
# make asan    the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
PY := .venv/bin/python

.PHONY: setup demo test docs format wheel bench asan clean

setup:
	@bash scripts/setup.sh

demo: setup
	$(PY) examples/salish_sea.py

test: setup
	@bash scripts/check_format.sh
	@bash scripts/wheel.sh --check
	.venv/bin/ctest --test-dir build/main --output-on-failure
	$(PY) -m pytest -q

docs: setup
	@bash scripts/docs.sh

format: setup
	@bash scripts/check_format.sh --fix

wheel: setup
	@bash scripts/wheel.sh

bench: setup
	$(PY) bench/run_all.py

asan: setup
	@bash scripts/asan.sh

clean:
	rm -rf build dist docs/_build docs/gallery
