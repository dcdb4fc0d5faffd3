# `make demo` sets everything up and runs the end-to-end example; `make test` sets up and runs the tests.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: demo test bench install clean

$(VENV)/.deps: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

install: $(VENV)/.deps
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .

demo: install
	$(PY) examples/digits.py

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) bench/run_all.py

clean:
	rm -rf build $(VENV)
