# The shipped program: a 32-bit GUI executable, statically linked, with its
# resources embedded.
set(ZRT_WIN32_LIBS advapi32 shlwapi comctl32 user32 gdi32 kernel32)
set(ZRT_STATIC_LINK -static -static-libgcc -static-libstdc++)

add_executable(ZeltraES_RT WIN32 ${CMAKE_SOURCE_DIR}/app/winmain.cpp ${CMAKE_SOURCE_DIR}/resources/app.rc)
target_compile_options(ZeltraES_RT PRIVATE ${ZRT_WARNINGS})
target_link_libraries(ZeltraES_RT PRIVATE zrt_program ${ZRT_WIN32_LIBS})
target_link_options(ZeltraES_RT PRIVATE ${ZRT_STATIC_LINK} -mwindows)
set_target_properties(ZeltraES_RT PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The built program's resources against their sources (no Wine needed).
find_program(ZRT_PYTHON3 python3 REQUIRED)
add_test(NAME resources COMMAND ${ZRT_PYTHON3} ${CMAKE_SOURCE_DIR}/resources/dump_resources.py
                                $<TARGET_FILE:ZeltraES_RT>)
set_tests_properties(resources PROPERTIES LABELS resources)

add_subdirectory(tests/platform)
add_subdirectory(tests/e2e)
