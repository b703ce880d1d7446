# Native build: the portable core's unit tests, tools, and (TREL_FUZZ) the fuzz targets.
option(TREL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TREL_FUZZ "Build only the libFuzzer targets (clang)" OFF)
# Serial test equipment: device models and the scripted line (native tests, fuzz targets, ptycom).
add_library(trelline STATIC ${CMAKE_SOURCE_DIR}/tests/support/DeviceModel.cpp
                            ${CMAKE_SOURCE_DIR}/tests/support/ScriptedLine.cpp
                            ${CMAKE_SOURCE_DIR}/tests/support/HodTestModel.cpp
                            ${CMAKE_SOURCE_DIR}/tests/support/KeyReaderModels.cpp)
target_include_directories(trelline PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(trelline PUBLIC trelcore)
if(TREL_FUZZ)
  include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake)
  return()
endif()
if(TREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(GTest QUIET)
if(NOT GTest_FOUND)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

file(GLOB TREL_NATIVE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*.cpp)
add_executable(native_tests ${TREL_NATIVE_TESTS})
target_link_libraries(native_tests PRIVATE trelcore trelline GTest::gtest_main)
target_include_directories(native_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(native_tests PRIVATE TREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
include(GoogleTest)
gtest_discover_tests(native_tests TEST_PREFIX "native." DISCOVERY_TIMEOUT 60)

# Device models and line tools for the Wine tests.
add_executable(ptycom tests/tools/ptycom.cpp)
target_link_libraries(ptycom PRIVATE trelline)
# The scanner stand-in's A4 page as a PPM, for the benchmarks.
add_executable(scanpage tests/tools/scanpage.cpp)
target_include_directories(scanpage PRIVATE tests)
target_link_libraries(scanpage PRIVATE trelcore)

# The command-line picture tool (info, convert, reduce, resize). The C++ runtime is linked in: on
# small pictures the dynamic loader's symbol binding would otherwise cost more than the codec.
add_executable(trelimg tools/trelimg.cpp)
target_link_libraries(trelimg PRIVATE trelcore)
if(NOT TREL_SANITIZE AND NOT TREL_FUZZ)
  target_link_options(trelimg PRIVATE -static-libstdc++ -static-libgcc)
endif()
