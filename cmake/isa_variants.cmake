# The hot sources (KRODAN_HOT_SOURCES) built again for x86-64-v3 and x86-64-v4, beside the
# baseline build in krodan_engine; the engine chooses one at run time (src/game/isa).
#
# Each variant is compiled with -march for its set and KRODAN_ISA_VARIANT naming it, linked into
# one relocatable object with its section groups dissolved, and every symbol of that object but
# its kernel tables made local. So no inline function, template instance or engine function of
# one set is shared with another at link time: the baseline can never end up calling wider code,
# and a variant calls only its own code or the engine's cold functions (the action table, the
# state strings), which it leaves undefined.

option(KRODAN_ISA_VARIANTS
       "Also build the hot loops for x86-64-v3 and x86-64-v4, chosen at run time" ON)

set(KRODAN_ISA_VARIANTS_BUILT OFF)
if(KRODAN_ISA_VARIANTS)
  include(CheckCXXSourceCompiles)
  set(_why "")
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(_why "not an x86-64 target (${CMAKE_SYSTEM_PROCESSOR})")
  elseif(KRODAN_SANITIZE OR KRODAN_BUILD_FUZZERS)
    set(_why "sanitizer and fuzzing builds instrument the baseline only")
  elseif(NOT CMAKE_OBJCOPY)
    set(_why "no objcopy")
  else()
    set(CMAKE_REQUIRED_FLAGS "-march=x86-64-v4")
    check_cxx_source_compiles("
      int main() {
        __builtin_cpu_init();
        return __builtin_cpu_supports(\"x86-64-v3\") + __builtin_cpu_supports(\"x86-64-v4\");
      }" KRODAN_HAS_ISA_LEVELS)
    unset(CMAKE_REQUIRED_FLAGS)
    set(CMAKE_REQUIRED_LINK_OPTIONS "-Wl,--force-group-allocation")
    check_cxx_source_compiles("int main() { return 0; }" KRODAN_HAS_FORCE_GROUP_ALLOCATION)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(NOT KRODAN_HAS_ISA_LEVELS)
      set(_why "the compiler knows no x86-64-v3/v4 levels")
    elseif(NOT KRODAN_HAS_FORCE_GROUP_ALLOCATION)
      set(_why "the linker cannot dissolve section groups")
    endif()
  endif()
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag(-fno-gnu-unique KRODAN_HAS_NO_GNU_UNIQUE)
  if(KRODAN_HAS_NO_GNU_UNIQUE)
    set(KRODAN_NO_GNU_UNIQUE -fno-gnu-unique)
  endif()
  if(_why)
    message(STATUS "krodan: hot loops for the baseline only: ${_why}")
  else()
    set(KRODAN_ISA_VARIANTS_BUILT ON)
  endif()
endif()

function(krodan_isa_variant variant march)
  set(objects krodan_hot_${variant})
  add_library(${objects} OBJECT ${KRODAN_HOT_SOURCES})
  target_include_directories(${objects} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  # Inline variables and the statics of inline functions as weak symbols, which can be made
  # local, rather than GNU unique ones, which cannot.
  target_compile_options(${objects} PRIVATE -march=${march} ${KRODAN_NO_GNU_UNIQUE})
  target_compile_definitions(${objects} PRIVATE KRODAN_ISA_VARIANT=${variant})
  set(linked ${CMAKE_CURRENT_BINARY_DIR}/krodan_hot_${variant}.o)
  add_custom_command(
    OUTPUT ${linked}
    COMMAND ${CMAKE_CXX_COMPILER} -r -nostdlib -Wl,--force-group-allocation
            -o ${linked}.all $<TARGET_OBJECTS:${objects}>
    COMMAND ${CMAKE_OBJCOPY} --wildcard --keep-global-symbol=krodan_*_kernels_${variant}
            ${linked}.all ${linked}
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}>
    COMMENT "Linking the ${march} hot loops, their symbols local"
    COMMAND_EXPAND_LISTS VERBATIM)
  target_sources(krodan_engine PRIVATE ${linked})
  add_dependencies(krodan_engine ${objects})
endfunction()

if(KRODAN_ISA_VARIANTS_BUILT)
  krodan_isa_variant(x86_64_v3 x86-64-v3)
  krodan_isa_variant(x86_64_v4 x86-64-v4)
  target_compile_definitions(krodan_engine PRIVATE KRODAN_ISA_VARIANTS=1)
endif()
