# A Mac build as CMake configures it, for the compile commands alone: nothing is compiled or linked.
# The packages the unit tests find (GoogleTest, nlohmann-json) are the host's, whose CMake files lie in
# its multiarch folder.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_OBJCXX_COMPILER clang++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
execute_process(COMMAND clang++ -print-multiarch OUTPUT_VARIABLE CMAKE_LIBRARY_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE)
