# The compilers the exactness flags are known to hold under. GCC and Clang both take
# -ffp-contract=off and -fno-fast-math with the same meaning; Clang's default would contract
# within an expression (-ffp-contract=on), so the flag matters there as much as under GCC. No
# -ffp-model option is added: Clang's -ffp-model=precise would switch contraction back on if it
# came after -ffp-contract=off, and its other settings are Clang's defaults already.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
  message(WARNING "vs30amp is built and tested with GCC and Clang; check that ${CMAKE_CXX_COMPILER_ID} "
                  "neither contracts nor reorders floating-point operations under the flags in CMakeLists.txt")
endif()
