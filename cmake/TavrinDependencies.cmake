# Finds every library tavrin links. Shared with the installed package config, so the two
# cannot drift apart.
include(CMakeFindDependencyMacro)

find_dependency(nlohmann_json 3.11)
find_dependency(Threads)
# Debian's FAISS is a static library whose config expects OpenMP to be found first.
find_dependency(OpenMP)
find_dependency(faiss)
find_dependency(Boost 1.81 COMPONENTS url)
find_dependency(OpenSSL)

find_path(UTF8PROC_INCLUDE_DIR utf8proc.h)
find_library(UTF8PROC_LIBRARY NAMES utf8proc)
if(NOT UTF8PROC_INCLUDE_DIR OR NOT UTF8PROC_LIBRARY)
  message(FATAL_ERROR "utf8proc not found: run scripts/install-deps (package libutf8proc-dev)")
endif()
if(NOT TARGET utf8proc::utf8proc)
  add_library(utf8proc::utf8proc UNKNOWN IMPORTED)
  set_target_properties(utf8proc::utf8proc PROPERTIES
    IMPORTED_LOCATION "${UTF8PROC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UTF8PROC_INCLUDE_DIR}")
endif()
