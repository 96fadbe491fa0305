.PHONY: test demo bench build
build:
	bash tools/setup.sh && cmake --preset win32 && cmake --build --preset win32
test:
	bash tools/run_tests.sh
demo:
	bash tools/demo.sh
bench:
	bash bench/run.sh
