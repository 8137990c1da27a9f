# The exactness flags as each supported compiler spells them. GCC and Clang both take
# -ffp-contract=off and -fno-fast-math; Clang also needs its own default of -ffp-model=precise
# kept (no reassociation, no reciprocal or approximate math, honoured rounding and NaN rules)
# whatever a caller's CMAKE_CXX_FLAGS say, and -fno-honor-* never.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(exact_model_math INTERFACE -ffp-model=precise -ffp-contract=off)
elseif(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(WARNING "vs30amp is built and tested with GCC and Clang; ${CMAKE_CXX_COMPILER_ID} may contract or "
                  "reorder floating-point operations")
endif()
