# yyjson, the header's JSON parser: an installed copy when there is a usable
# one, otherwise release 0.12.0 built from source and linked statically, so the
# module needs no yyjson shared library where it is installed (the wheel
# forces that with CORVID_YYJSON_FROM_SOURCE). Either way, the target
# corvid_yyjson links it (an installed one too old to use still defines
# yyjson::yyjson, so that name cannot serve).

# The iterator constructors yyjson_arr_iter_with and yyjson_obj_iter_with came
# with 0.7.0; everything else the parser calls is older.
set(corvid_yyjson_minimum 0.7.0)
set(corvid_yyjson_repository https://github.com/ibireme/yyjson.git)
set(corvid_yyjson_commit 8b4a38dc994a110abaec8a400615567bd996105f)  # tag 0.12.0

# yyjson installs no version file, so the version comes from its header.
function(corvid_installed_yyjson_version out)
  get_target_property(include_dirs yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
  find_file(corvid_yyjson_header yyjson.h PATHS ${include_dirs} NO_DEFAULT_PATH NO_CACHE)
  set(version "")
  if(corvid_yyjson_header)
    file(STRINGS "${corvid_yyjson_header}" line REGEX "^#define YYJSON_VERSION_STRING" LIMIT_COUNT 1)
    string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" version "${line}")
  endif()
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

if(NOT CORVID_YYJSON_FROM_SOURCE)
  find_package(yyjson CONFIG QUIET)
  if(yyjson_FOUND)
    corvid_installed_yyjson_version(corvid_yyjson_version)
    if(corvid_yyjson_version VERSION_GREATER_EQUAL corvid_yyjson_minimum)
      message(STATUS "yyjson: installed ${corvid_yyjson_version} (${yyjson_DIR})")
      add_library(corvid_yyjson INTERFACE)
      target_link_libraries(corvid_yyjson INTERFACE yyjson::yyjson)
      return()
    endif()
    message(STATUS "yyjson: ignoring installed '${corvid_yyjson_version}' (${yyjson_DIR}), older than ${corvid_yyjson_minimum}")
  endif()
endif()

include(FetchContent)

# A download that fails stops FetchContent with git's own error, which does
# not say that installing yyjson avoids it: look first, and say so.
if(NOT FETCHCONTENT_SOURCE_DIR_YYJSON AND NOT FETCHCONTENT_FULLY_DISCONNECTED
   AND NOT EXISTS "${FETCHCONTENT_BASE_DIR}/yyjson-src/CMakeLists.txt")
  find_package(Git QUIET)
  set(reachable FALSE)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" ls-remote --exit-code "${corvid_yyjson_repository}" HEAD
      RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
    if(status EQUAL 0)
      set(reachable TRUE)
    endif()
  endif()
  if(NOT reachable)
    if(CORVID_YYJSON_FROM_SOURCE)
      set(reason "CORVID_YYJSON_FROM_SOURCE asks for it to be built from source")
    else()
      set(reason "No usable one is installed")
    endif()
    message(FATAL_ERROR
      "corvid_py needs yyjson ${corvid_yyjson_minimum} or newer. ${reason}, which needs git "
      "and network access to ${corvid_yyjson_repository}, and that failed. Either install "
      "yyjson's development files (and leave CORVID_YYJSON_FROM_SOURCE off):\n"
      "  Debian, Ubuntu:    sudo apt install libyyjson-dev\n"
      "  Fedora:            sudo dnf install yyjson-devel\n"
      "  macOS (Homebrew):  brew install yyjson\n"
      "or build with network access, or point FETCHCONTENT_SOURCE_DIR_YYJSON at a copy of "
      "yyjson 0.12.0's source tree (commit ${corvid_yyjson_commit}).")
  endif()
endif()

message(STATUS "yyjson: 0.12.0 built from source, linked statically")
enable_language(C)
FetchContent_Declare(yyjson
  GIT_REPOSITORY "${corvid_yyjson_repository}"
  GIT_TAG "${corvid_yyjson_commit}")
block()
  # Only the reader is used; no install rules, since the module carries it.
  set(YYJSON_INSTALL OFF)
  set(YYJSON_DISABLE_WRITER ON)
  set(YYJSON_DISABLE_INCR_READER ON)
  set(YYJSON_DISABLE_UTILS ON)
  set(BUILD_SHARED_LIBS OFF)
  FetchContent_MakeAvailable(yyjson)
endblock()
FetchContent_GetProperties(yyjson)

# yyjson marks its functions visible by default; defined empty, the hidden
# preset applies to them too and they stay inside the module.
set_target_properties(yyjson PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
target_compile_definitions(yyjson PUBLIC "yyjson_api=")
add_library(corvid_yyjson INTERFACE)
target_link_libraries(corvid_yyjson INTERFACE yyjson)

# yyjson's licence asks that its notice travel with copies of it.
if(DEFINED SKBUILD_METADATA_DIR)
  install(FILES "${yyjson_SOURCE_DIR}/LICENSE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses"
    RENAME LICENSE.yyjson)
endif()
