# Warnings and the floating-point environment for the project's own targets.
# Results must not depend on fused multiply-add or reassociation.
add_library(ox_compile_options INTERFACE)
target_compile_options(ox_compile_options INTERFACE
  $<BUILD_INTERFACE:-Wall -Wextra -Wpedantic -Werror -ffp-contract=off
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Calls inside our shared libraries may bind locally (and inline); no fused multiply-add by vectorisation.
  target_compile_options(ox_compile_options INTERFACE $<BUILD_INTERFACE:-fno-tree-slp-vectorize -fno-semantic-interposition>)
endif()
if(OXRETARGET_SANITIZE)
  target_compile_options(ox_compile_options INTERFACE
    $<BUILD_INTERFACE:-fsanitize=${OXRETARGET_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer>)
  target_link_options(ox_compile_options INTERFACE
    $<BUILD_INTERFACE:-fsanitize=${OXRETARGET_SANITIZE}>)
endif()
install(TARGETS ox_compile_options EXPORT OxRetargetTargets)

# Generates one translation unit per public header so that each is proven to compile alone.
function(ox_add_header_check target)
  cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
  set(sources)
  foreach(header IN LISTS ARG_HEADERS)
    get_filename_component(stem ${header} NAME_WE)
    set(tu ${CMAKE_CURRENT_BINARY_DIR}/header_check/${stem}.cpp)
    file(CONFIGURE OUTPUT ${tu} CONTENT "#include \"${header}\"\n")
    list(APPEND sources ${tu})
  endforeach()
  add_library(${target}_header_check OBJECT ${sources})
  target_link_libraries(${target}_header_check PRIVATE ${target} ox_compile_options)
endfunction()
