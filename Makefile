.PHONY: test demo bench build fuzz torture
SECONDS ?= 60
build:
	bash tools/setup.sh && cmake --preset win32 && cmake --build --preset win32
test:
	bash tools/run_tests.sh
demo:
	bash tools/demo.sh
bench:
	bash bench/run.sh
fuzz:
	bash tools/setup.sh && bash tools/fuzz.sh run $(SECONDS)
# The fault campaign: make torture [SEED=n] [STEPS=k] [SKIP=kind,...]; a failing step
# prints the SEED and STEPS that replay it.
STEPS ?= 2000
torture:
	cmake --preset win32 >/dev/null && cmake --build --preset win32
	python3 tests/torture.py --steps $(STEPS) $(if $(SEED),--seed $(SEED)) $(if $(SKIP),--skip $(SKIP))
