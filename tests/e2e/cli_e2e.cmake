# Helpers of the console scanner's end-to-end tests (run_cli_e2e.sh).
add_executable(hold_open ${CMAKE_SOURCE_DIR}/tests/e2e/hold_open.cpp)
target_link_options(hold_open PRIVATE -static-libgcc -static-libstdc++ -static)
