# Thin wrapper over CMake. `make build` also links the three programs into the repository root;
# `make run` starts leafid there, where nn.dat lives; `make test` runs every test, then the whole
# suite again under ASan and UBSan; `make deb` builds the Debian package here.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= 2

.PHONY: setup build run test test-plain test-sanitize deb bench bench-serve fuzz clean

setup:
	@./scripts/setup

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	@ln -sf $(BUILD)/app/leafid leafid
	@ln -sf $(BUILD)/tools/leafid-train leafid-train
	@ln -sf $(BUILD)/tools/leafid-eval leafid-eval
	@ln -sf $(BUILD)/server/leafid-serve leafid-serve

run: build
	./leafid

test: test-plain test-sanitize

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: setup
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DLEAFID_SANITIZE=ON >/dev/null
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# leafid_<version>_amd64.deb, made by CPack from the build in $(BUILD).
deb: build
	rm -rf $(BUILD)/package leafid_*.deb
	cpack --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package
	cp $(BUILD)/package/leafid_*.deb .

# Photos per second of leafid's analysis against the bare decode, start-up time, peak memory.
BENCH_PHOTOS ?= ../shared/leaves
BENCH_ROUNDS ?= 5
bench: build
	./$(BUILD)/bench/leafid_bench $(BENCH_PHOTOS) $(BENCH_ROUNDS)

# leafid-serve under load: BENCH_CLIENTS clients post the photos for BENCH_SECONDS while
# BENCH_IDLE connections stay open without a finished request; photos per second, latency,
# the server's peak memory; fails on any failed request or answer unlike the dialogue's.
BENCH_SECONDS ?= 30
BENCH_CLIENTS ?= 32
BENCH_IDLE ?= 500
bench-serve: build
	./$(BUILD)/bench/leafid_serve_bench $(BUILD)/server/leafid-serve $(BUILD)/app/leafid \
	  $(BENCH_PHOTOS) $(BENCH_SECONDS) $(BENCH_CLIENTS) $(BENCH_IDLE)

# Feeds random network files to the loader and evaluator, random text to the number readers,
# the feature hand-off and the classifier, random files to the picture header reader, random
# pictures grown from a seed of each kind to the decoder, which must keep within what their
# header said, and HEIC and AVIF grown from seeds to the HEIF reader, for FUZZ_SECONDS each
# (needs clang, ImageMagick and heif-enc).
FUZZ_SECONDS ?= 60
FUZZ_FLAGS = -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Inetwork -Ivision -Iapp
PICTURE_LIBS = $$(pkg-config --libs opencv4 libtiff-4 libwebp libheif zlib) -ljpeg
PICTURE_CODE = vision/picture.cpp vision/heif_picture.cpp
PICTURE_SEEDS = seed.jpg "-interlace JPEG prog.jpg" "-colorspace CMYK cmyk.jpg" \
  "-colorspace Gray grey.jpg" seed.png "-alpha set -channel A -evaluate set 50% alpha.png" \
  "-colorspace Gray -depth 16 grey16.png" seed.tif "-compress LZW lzw.tif" \
  "-alpha set -channel A -evaluate set 50% alpha.tif" "-define webp:lossless=true lossless.webp" \
  lossy.webp "-alpha set -channel A -evaluate set 50% alpha.webp" seed.bmp \
  "-alpha set -channel A -evaluate set 50% -define bmp:format=bmp4 alpha.bmp" \
  "-type Palette -compress RLE BMP3:rle.bmp" "-colorspace Gray seed.pgm"
fuzz:
	mkdir -p $(BUILD)/fuzz-corpus $(BUILD)/fuzz-corpus-numbers $(BUILD)/fuzz-corpus-pictures \
	  $(BUILD)/fuzz-corpus-decode $(BUILD)/fuzz-seeds-pictures $(BUILD)/fuzz-corpus-heif \
	  $(BUILD)/fuzz-seeds-heif
	cd $(BUILD)/fuzz-seeds-pictures && for seed in $(PICTURE_SEEDS); do \
	  convert -size 48x32 gradient:red-blue $$seed; done
	cd $(BUILD)/fuzz-seeds-heif && convert ../fuzz-seeds-pictures/alpha.png -depth 8 alpha8.png \
	  && heif-enc -q 50 ../fuzz-seeds-pictures/seed.jpg -o seed.heic \
	  && heif-enc -A -q 50 ../fuzz-seeds-pictures/seed.jpg -o seed.avif \
	  && heif-enc -q 50 alpha8.png -o alpha.heic && heif-enc -A -q 50 alpha8.png -o alpha.avif \
	  && rm alpha8.png
	clang++ $(FUZZ_FLAGS) tests/fuzz/network_file_fuzzer.cpp network/*.cpp \
	  -o $(BUILD)/network_file_fuzzer
	clang++ $(FUZZ_FLAGS) $$(pkg-config --cflags opencv4) tests/fuzz/number_text_fuzzer.cpp \
	  network/*.cpp vision/*.cpp app/handoff.cpp $(PICTURE_LIBS) -lX11 -lpthread \
	  -o $(BUILD)/number_text_fuzzer
	clang++ $(FUZZ_FLAGS) $$(pkg-config --cflags opencv4) tests/fuzz/picture_header_fuzzer.cpp \
	  $(PICTURE_CODE) $(PICTURE_LIBS) -o $(BUILD)/picture_header_fuzzer
	clang++ $(FUZZ_FLAGS) $$(pkg-config --cflags opencv4) tests/fuzz/heif_picture_fuzzer.cpp \
	  $(PICTURE_CODE) $(PICTURE_LIBS) -o $(BUILD)/heif_picture_fuzzer
	clang++ -std=c++17 -g -O1 -fsanitize=fuzzer -Ivision $$(pkg-config --cflags opencv4) \
	  tests/fuzz/picture_decode_fuzzer.cpp $(PICTURE_CODE) $(PICTURE_LIBS) \
	  -o $(BUILD)/picture_decode_fuzzer
	./$(BUILD)/network_file_fuzzer -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=1024 \
	  -max_len=512 $(BUILD)/fuzz-corpus
	./$(BUILD)/number_text_fuzzer -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=1024 \
	  -max_len=256 $(BUILD)/fuzz-corpus-numbers
	./$(BUILD)/picture_header_fuzzer -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=1024 \
	  -max_len=4096 $(BUILD)/fuzz-corpus-pictures
	./$(BUILD)/picture_decode_fuzzer -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=1024 \
	  -max_len=16384 $(BUILD)/fuzz-corpus-decode $(BUILD)/fuzz-seeds-pictures \
	  $(BUILD)/fuzz-seeds-heif
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ./$(BUILD)/heif_picture_fuzzer -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=1024 \
	    -max_len=16384 $(BUILD)/fuzz-corpus-heif $(BUILD)/fuzz-seeds-heif

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) leafid leafid-train leafid-eval leafid-serve leafid_*.deb
