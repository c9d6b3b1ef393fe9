# Shared compile flags for every target of the project, in one INTERFACE target.
add_library(tavrix_flags INTERFACE)
target_compile_options(tavrix_flags INTERFACE -Wall -Wextra)
if(TAVRIX_WERROR)
  target_compile_options(tavrix_flags INTERFACE -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 flags std::vector::insert inlined at -O2 as out of bounds (a known false
    # positive in libstdc++); keep these as warnings so they stay visible.
    target_compile_options(tavrix_flags INTERFACE -Wno-error=array-bounds -Wno-error=stringop-overflow)
  endif()
endif()
if(TAVRIX_HARDENED)
  target_compile_definitions(tavrix_flags INTERFACE _GLIBCXX_ASSERTIONS)
  if(NOT TAVRIX_SANITIZE)
    # _FORTIFY_SOURCE needs optimisation and does not mix with sanitizers.
    target_compile_options(tavrix_flags INTERFACE -O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  endif()
endif()

if(TAVRIX_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(TAVRIX_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(TAVRIX_SANITIZE)
  message(FATAL_ERROR "TAVRIX_SANITIZE must be '', 'address' or 'thread'")
endif()
if(_san)
  # Applied globally so that test frameworks built here are instrumented too.
  add_compile_options(${_san})
  add_link_options(${_san})
endif()
