.PHONY: test demo bench build fuzz
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
