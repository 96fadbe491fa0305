.PHONY: test demo bench build fuzz torture
SECONDS ?= 60
# The 32-bit product in build/, and the 64-bit build (build64/) where tools/wine_build.py
# chooses it or TARSIN_BUILD=win64 forces it.
build:
	@bash tools/setup.sh && bash tools/build.sh $$(python3 tools/wine_build.py shell | sed -n 's/^TARSIN_BUILD=//p')
test:
	@bash tools/run_tests.sh
demo:
	@bash tools/demo.sh
bench:
	@bash bench/run.sh
fuzz:
	bash tools/setup.sh && bash tools/fuzz.sh run $(SECONDS)
# The fault campaign: make torture [SEED=n] [STEPS=k] [SKIP=kind,...]; a failing step
# prints the SEED and STEPS that replay it.
STEPS ?= 2000
torture:
	@eval "$$(python3 tools/wine_build.py shell)" && echo "make torture: the $$TARSIN_BUILD build, since $$TARSIN_BUILD_REASON" \
	  && bash tools/build.sh $$TARSIN_BUILD >/dev/null \
	  && TARSIN_BUILD_DIR=$$TARSIN_BUILD_DIR python3 tests/torture.py --steps $(STEPS) $(if $(SEED),--seed $(SEED)) $(if $(SKIP),--skip $(SKIP))
