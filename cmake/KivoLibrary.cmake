# Helpers that give every kivo library its two builds, its tests and its
# install rules. Adding a library: a folder with a CMakeLists.txt calling
# kivo_library(), and its name in the root list.

set(KIVO_ALL_LIBRARIES "" CACHE INTERNAL "")
find_package(Threads REQUIRED)

set(KIVO_WARN -Wall -Wextra)
if(KIVO_WERROR)
  list(APPEND KIVO_WARN -Werror)
endif()

set(KIVO_SAN_FLAGS "")
if(KIVO_SANITIZE STREQUAL "address")
  set(KIVO_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # clang's function-type check lives in its C++ runtime, which C programs
    # linking our libraries do not load.
    list(APPEND KIVO_SAN_FLAGS -fno-sanitize=function)
  endif()
elseif(KIVO_SANITIZE STREQUAL "thread")
  set(KIVO_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(KIVO_SAN_FLAGS)
  add_compile_options(${KIVO_SAN_FLAGS})
  add_link_options(${KIVO_SAN_FLAGS})
endif()

macro(kivo_subdir name)
  set(KIVO_CURRENT_LIB ${name})
  add_subdirectory(${name})
endmacro()

# kivo_library(NAME <n> [SOVERSION <major>] SOURCES ... [DEPENDS kivo libs]
#              [LIBS outside libs] [PRIVATE_INCLUDES dirs]
#              [PC_REQUIRES_PRIVATE pkg-config modules of the outside libs])
# Creates kivo_<n>_r (KIVO_THREADS=1, linked with threads) and kivo_<n>
# (KIVO_THREADS=0), aliases kivo::<n>_r / kivo::<n>, installs both.
function(kivo_library)
  cmake_parse_arguments(A "" "NAME;SOVERSION;VERSION" "SOURCES;DEPENDS;LIBS;PRIVATE_INCLUDES;PUBLIC_LIBS;PC_REQUIRES_PRIVATE" ${ARGN})
  if(NOT DEFINED A_SOVERSION OR A_SOVERSION STREQUAL "")
    set(A_SOVERSION 2)
  endif()
  if(NOT A_VERSION)
    set(A_VERSION ${A_SOVERSION}.1.0)
    if(A_SOVERSION STREQUAL "0")
      set(A_VERSION 0.0.0)
    endif()
  endif()
  foreach(variant r plain)
    if(variant STREQUAL "r")
      set(t kivo_${A_NAME}_r)
      set(thr 1)
      set(sfx _r)
    else()
      set(t kivo_${A_NAME})
      set(thr 0)
      set(sfx "")
    endif()
    add_library(${t} SHARED ${A_SOURCES})
    add_library(kivo::${A_NAME}${sfx} ALIAS ${t})
    target_compile_definitions(${t} PRIVATE KIVO_THREADS=${thr} KIVO_BUILDING=1 _GNU_SOURCE)
    target_compile_definitions(${t} INTERFACE KIVO_THREADS=${thr})
    target_compile_options(${t} PRIVATE ${KIVO_WARN}
      $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
      -fvisibility=hidden -fno-semantic-interposition)
    target_include_directories(${t}
      PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
      PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/src ${A_PRIVATE_INCLUDES})
    # Link with the C driver: no libstdc++, no libgcc_s for C users.
    set_target_properties(${t} PROPERTIES
      LINKER_LANGUAGE C
      EXPORT_NAME ${A_NAME}${sfx}
      VERSION ${A_VERSION} SOVERSION ${A_SOVERSION}
      C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
    if(NOT KIVO_SANITIZE)
      target_link_options(${t} PRIVATE -Wl,--no-undefined -Wl,--as-needed)
    endif()
    # Export exactly the names of exports/*.txt: a version script makes
    # everything else local, linker-made symbols included.
    kivo_version_script(${t} ${variant})
    foreach(dep ${A_DEPENDS})
      target_link_libraries(${t} PUBLIC kivo_${dep}${sfx})
    endforeach()
    target_link_libraries(${t} PRIVATE ${A_LIBS} PUBLIC ${A_PUBLIC_LIBS})
    if(thr)
      target_link_libraries(${t} PUBLIC Threads::Threads)
    endif()
    install(TARGETS ${t} EXPORT kivoTargets
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
    # pkg-config file
    set(PC_NAME kivo_${A_NAME}${sfx})
    set(PC_REQUIRES "")
    foreach(dep ${A_DEPENDS})
      string(APPEND PC_REQUIRES " kivo_${dep}${sfx}")
    endforeach()
    # Outside libraries a static link (pkg-config --static) also needs.
    string(REPLACE ";" " " PC_REQUIRES_PRIVATE "${A_PC_REQUIRES_PRIVATE}")
    set(PC_CFLAGS "-DKIVO_THREADS=${thr}")
    set(PC_LIBS_PRIVATE "")
    if(thr)
      set(PC_CFLAGS "${PC_CFLAGS} -pthread")
      set(PC_LIBS_PRIVATE "-pthread")
    endif()
    file(RELATIVE_PATH PC_REL_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/kivo.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${PC_NAME}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${PC_NAME}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endforeach()
  set(KIVO_ALL_LIBRARIES ${KIVO_ALL_LIBRARIES} ${A_NAME} CACHE INTERNAL "")
endfunction()

# kivo_version_script(<target> <r|plain>): links <target> with a version
# script whose global names are those of the current folder's
# exports/*.txt ("r:" lines only in the thread-safe build, "p:" lines only
# in the plain one) and makes every other symbol local.
function(kivo_version_script target variant)
  file(GLOB lists CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/exports/*.txt)
  if(NOT lists)
    return()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${lists})
  set(names "")
  foreach(list ${lists})
    file(STRINGS ${list} lines)
    foreach(line ${lines})
      string(REGEX REPLACE "#.*" "" line "${line}")
      string(REGEX REPLACE "[ \t]" "" line "${line}")
      if(line MATCHES "^r:(.+)$")
        if(variant STREQUAL "r")
          string(APPEND names "    ${CMAKE_MATCH_1};\n")
        endif()
      elseif(line MATCHES "^p:(.+)$")
        if(variant STREQUAL "plain")
          string(APPEND names "    ${CMAKE_MATCH_1};\n")
        endif()
      elseif(NOT line STREQUAL "")
        string(APPEND names "    ${line};\n")
      endif()
    endforeach()
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(CONFIGURE OUTPUT ${script} CONTENT "{\n  global:\n${names}  local: *;\n};\n")
  target_link_options(${target} PRIVATE -Wl,--version-script=${script})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
endfunction()

# kivo_add_tests([LIBS extra link libs] [EXCLUDE regex])
# Every tests/*_test.cpp and tests/*_test.c of the current library becomes
# two test programs, one per build: <lib>_<name>_r and <lib>_<name>.
# A file named *_rtest.cpp is built and run against the thread-safe build only;
# *_ptest.cpp against the plain build only. A *_test.c file is a C program
# with its own main(): exit status 0 means pass.
function(kivo_add_tests)
  cmake_parse_arguments(A "" "" "LIBS" ${ARGN})
  if(NOT KIVO_TESTS)
    return()
  endif()
  set(lib ${KIVO_CURRENT_LIB})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.c
                                   ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_rtest.cpp ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_ptest.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.c)
  foreach(src ${srcs})
    get_filename_component(base ${src} NAME_WE)
    string(REGEX REPLACE "_(r|p)?test$" "" name ${base})
    set(variants r plain)
    if(base MATCHES "_rtest$")
      set(variants r)
    elseif(base MATCHES "_ptest$")
      set(variants plain)
    endif()
    foreach(variant ${variants})
      if(variant STREQUAL "r")
        set(sfx _r)
      else()
        set(sfx "")
      endif()
      set(t test_${lib}_${name}${sfx})
      add_executable(${t} ${src} ${helpers})
      target_link_libraries(${t} PRIVATE kivo_${lib}${sfx} ${A_LIBS} Threads::Threads)
      target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR}
        ${PROJECT_SOURCE_DIR}/tests/support)
      target_compile_definitions(${t} PRIVATE _GNU_SOURCE)
      target_compile_options(${t} PRIVATE ${KIVO_WARN})
      # C tests carry their own main and report through their exit status.
      if(NOT src MATCHES "\\.c$")
        target_link_libraries(${t} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
      endif()
      add_test(NAME ${t} COMMAND ${t})
      set_tests_properties(${t} PROPERTIES LABELS "${lib};${variant}" TIMEOUT 300)
    endforeach()
  endforeach()
endfunction()

# kivo_program_libraries(<out var> <_r or empty>): every library of the
# chosen build that a program may link, the allocation checker excepted
# (it replaces malloc and is only ever preloaded on purpose).
function(kivo_program_libraries out sfx)
  set(libs "")
  foreach(lib ${KIVO_ALL_LIBRARIES})
    if(NOT lib STREQUAL "memdebug")
      list(APPEND libs kivo_${lib}${sfx})
    endif()
  endforeach()
  set(${out} ${libs} PARENT_SCOPE)
endfunction()

function(kivo_install_package)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kivo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT kivoTargets NAMESPACE kivo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivo)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kivoConfig.cmake.in
    ${PROJECT_BINARY_DIR}/kivoConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivo)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/kivoConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/kivoConfig.cmake ${PROJECT_BINARY_DIR}/kivoConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivo)
endfunction()
