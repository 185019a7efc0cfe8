# Host build: the program's code against the simulated Windows machine, and
# the unit tests that drive it.
find_package(Threads REQUIRED)

set(ZRT_LISTING ${CMAKE_SOURCE_DIR}/resources/entry_listing.txt)
set(ZRT_LISTING_CPP ${CMAKE_BINARY_DIR}/generated/entry_listing_bytes.cpp)
add_custom_command(
  OUTPUT ${ZRT_LISTING_CPP}
  COMMAND ${CMAKE_COMMAND} -DIN=${ZRT_LISTING} -DOUT=${ZRT_LISTING_CPP} -DSYMBOL=kEntryListingBytes
          -P ${CMAKE_SOURCE_DIR}/cmake/embed_bytes.cmake
  DEPENDS ${ZRT_LISTING} ${CMAKE_SOURCE_DIR}/cmake/embed_bytes.cmake
  COMMENT "Embedding the entry listing for the simulated machine")

file(GLOB ZRT_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/sim/*.cpp)
add_library(zrt_sim STATIC ${ZRT_SIM_SOURCES} ${ZRT_LISTING_CPP})
target_include_directories(zrt_sim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)
target_compile_options(zrt_sim PRIVATE ${ZRT_WARNINGS})
target_link_libraries(zrt_sim PUBLIC Threads::Threads)
target_link_libraries(zrt_program PUBLIC zrt_sim)

add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

file(GLOB ZRT_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
# The scenarios' library with the simulated machine's part.
add_executable(unit_tests ${ZRT_UNIT_TESTS} ${CMAKE_SOURCE_DIR}/app/winmain.cpp
  ${CMAKE_SOURCE_DIR}/tests/scenarios/scenario.cpp ${CMAKE_SOURCE_DIR}/tests/scenarios/machine_sim.cpp)
target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(unit_tests PRIVATE ZRT_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_compile_options(unit_tests PRIVATE ${ZRT_WARNINGS})
target_link_libraries(unit_tests PRIVATE zrt_program GTest::gtest_main)
# Each test case is its own ctest test with a deadline: a loop that never
# ends fails that case instead of holding the suite.
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit TIMEOUT 60)

if(ZRT_FUZZ)
  add_subdirectory(tests/fuzz)
endif()

add_subdirectory(tests/platform)
