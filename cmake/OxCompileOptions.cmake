# Warnings and the floating-point environment for the project's own targets.
# Results must not depend on fused multiply-add or reassociation.
add_library(ox_compile_options INTERFACE)
target_compile_options(ox_compile_options INTERFACE
  $<BUILD_INTERFACE:-Wall -Wextra -Wpedantic -ffp-contract=off
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>)
if(OXRETARGET_WERROR)
  target_compile_options(ox_compile_options INTERFACE $<BUILD_INTERFACE:-Werror>)
endif()
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

# One of the project's libraries, from the folder that calls it: the sources given, the headers of
# Public/ (exported under include/OxRetarget/INCLUDE_SUBDIR, each proven to compile alone by a
# translation unit of its own), the alias OxRetarget::<name>, a versioned shared object, installed
# into the exported package.
function(ox_add_library name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;INCLUDE_SUBDIR" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} ${OX_LIBRARY_TYPE} ${ARG_SOURCES})
  add_library(OxRetarget::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  set(include_dir ${CMAKE_INSTALL_INCLUDEDIR}/OxRetarget/${ARG_INCLUDE_SUBDIR})
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/Public>
    $<INSTALL_INTERFACE:${include_dir}>)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS} $<BUILD_INTERFACE:ox_compile_options>)

  install(TARGETS ${name} EXPORT OxRetargetTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY Public/ DESTINATION ${include_dir} FILES_MATCHING PATTERN "*.h")

  file(GLOB_RECURSE headers RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/Public CONFIGURE_DEPENDS Public/*.h)
  set(checks)
  foreach(header IN LISTS headers)
    string(MAKE_C_IDENTIFIER ${header} stem)
    set(tu ${CMAKE_CURRENT_BINARY_DIR}/header_check/${stem}.cpp)
    file(CONFIGURE OUTPUT ${tu} CONTENT "#include \"${header}\"\n")
    list(APPEND checks ${tu})
  endforeach()
  add_library(${name}_header_check OBJECT ${checks})
  target_link_libraries(${name}_header_check PRIVATE ${name} ox_compile_options)
endfunction()
