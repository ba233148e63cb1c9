# Third-party libraries, all from Debian packages (see scripts/setup).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(fmt REQUIRED)

pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(OPENBLAS REQUIRED IMPORTED_TARGET openblas)
pkg_check_modules(KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswresample libavutil)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)
find_path(HTTPLIB_INCLUDE_DIR httplib.h)

if(QUILLORA_TESTS)
  find_package(GTest REQUIRED)
endif()
if(QUILLORA_BENCH)
  find_package(benchmark REQUIRED)
endif()

# The desktop application (and the capture layer under it).
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
# The application's two short sounds: a blocking playback stream on a thread of their own.
pkg_check_modules(PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xi xtst)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
# Network: the local socket through which a second start reaches the running program.
find_package(Qt6 REQUIRED COMPONENTS Widgets Network)
if(QUILLORA_TESTS)
  find_package(Qt6 REQUIRED COMPONENTS Test)
endif()
