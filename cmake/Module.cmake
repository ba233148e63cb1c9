# Shared compile settings for every target of the project.
add_library(quillora_options INTERFACE)
target_compile_options(quillora_options INTERFACE
  -Wall -Wextra -Wpedantic -Wno-missing-field-initializers -Wno-psabi
  $<$<BOOL:${QUILLORA_NATIVE}>:-march=native>)
if(QUILLORA_SANITIZE)
  target_compile_options(quillora_options INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(quillora_options INTERFACE -fsanitize=address,undefined)
endif()

# quillora_module(<Name> [DEPS targets...] [PRIVATE_DEPS ...] [PRIVATE_INCLUDES ...] [PRIVATE_DEFINES ...]
#                 [EXCLUDE regex])
# Builds src/<Name>/ as a static library named <Name>. Sources are every .cpp below the
# folder (but those whose path matches EXCLUDE); public headers live under
# src/<Name>/include/<lowercase name>/.
function(quillora_module name)
  cmake_parse_arguments(M "" "EXCLUDE" "DEPS;PRIVATE_DEPS;PRIVATE_INCLUDES;PRIVATE_DEFINES" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(M_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${M_EXCLUDE}")
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC quillora_options ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
    target_include_directories(${name} PRIVATE ${M_PRIVATE_INCLUDES})
    target_compile_definitions(${name} PRIVATE ${M_PRIVATE_DEFINES})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(${name} INTERFACE quillora_options ${M_DEPS})
  endif()
endfunction()

# quillora_test(<Module> [DEPS targets...])
# One test executable per module from every .cpp under tests/<Module>/.
function(quillora_test module)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  set(target ${module}Tests)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${module} ${T_DEPS} GTest::gtest GTest::gtest_main
                        GTest::gmock quillora_options)
  target_compile_definitions(${target} PRIVATE
    QUILLORA_SHARED_DIR="${QUILLORA_SHARED_DIR}"
    QUILLORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS ${module} ENVIRONMENT "QUILLORA_SHARED_DIR=${QUILLORA_SHARED_DIR}")
endfunction()

# quillora_bench(<name> <sources...> DEPS targets...)
function(quillora_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_DEPS} benchmark::benchmark quillora_options)
  target_compile_definitions(${name} PRIVATE QUILLORA_SHARED_DIR="${QUILLORA_SHARED_DIR}")
endfunction()

# quillora_bench_folder(<Module>): every bench_*.cpp in the current folder becomes a program.
function(quillora_bench_folder module)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench_*.cpp)
  foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME_WE)
    quillora_bench(${name} SOURCES ${source} DEPS ${module})
  endforeach()
endfunction()

# The shared test data lives beside the checkout.
get_filename_component(_shared_default "${PROJECT_SOURCE_DIR}/../shared" ABSOLUTE)
set(QUILLORA_SHARED_DIR "${_shared_default}" CACHE PATH "Folder with the shared test data and models")
